#include "httpservices.h"

#include "textcipher.h"

#include <QAtomicInt>
#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <cryptopp/cryptlib.h>

namespace {
QAtomicInt g_transferTimeoutMs(HttpServices::kDefaultTransferTimeoutMs);
const QByteArray kCrlf("\r\n");
constexpr int kCipherKeyLength = 32;
} // namespace

void HttpServices::setTransferTimeoutForTest(int ms)
{
    g_transferTimeoutMs.storeRelaxed(ms);
}

int HttpServices::transferTimeout()
{
    return g_transferTimeoutMs.loadRelaxed();
}

HttpServices::HttpServices(QObject *parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this))
{
}

HttpServices::~HttpServices()
{
    delete m_manager;
}

QNetworkRequest HttpServices::makeRequest(const QString &url, const QVariant &userType) const
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::User, userType);
    request.setTransferTimeout(transferTimeout());
    return request;
}

void HttpServices::get(const QString &url, const QVariant &userType)
{
    m_manager->get(makeRequest(url, userType));
    connect(m_manager, SIGNAL(finished(QNetworkReply*)), this, SLOT(replyFinished(QNetworkReply*)));
}

void HttpServices::post(const QString &url, const QByteArray &body, const QVariant &userType, bool multipart)
{
    QNetworkRequest request = makeRequest(url, userType);
    if (multipart)
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("multipart/form-data"));
    m_manager->post(request, body);
    connect(m_manager, SIGNAL(finished(QNetworkReply*)), this, SLOT(replyFinished(QNetworkReply*)));
}

void HttpServices::uploadJob(const QString &url, const QString &jobInfo, const QString &fileName,
                             const QByteArray &fileData, const QVariant &userType)
{
    // Unseeded qrand: the boundary sequence repeats from one start to the next.
    QString digits;
    for (int i = 0; i < 3; ++i) {
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        const int n = qrand();
        QT_WARNING_POP
        digits += QVariant(n).toString();
    }
    const QByteArray boundary = QByteArray(27, '-') + digits.toUtf8();
    const QByteArray delimiter = "--" + boundary + kCrlf;
    const QByteArray disposition("Content-Disposition: form-data; name=\"");

    const QByteArray info = jobInfo.toUtf8();
    const QByteArray name = fileName.toUtf8();
    QByteArray body;
    body.reserve(fileData.size() + info.size() + name.size() + 512);
    body += delimiter;
    body += disposition + "jobInfo\"" + kCrlf;
    body += kCrlf;
    body += info;
    body += kCrlf + delimiter;
    body += disposition + "encryption\"" + kCrlf;
    body += kCrlf;
    body += "none";
    body += kCrlf + delimiter;
    body += disposition + "jobFile\"; filename=\"" + name + "\"" + kCrlf;
    body += "Content-Type: application/octet-stream" + kCrlf + kCrlf;
    body += fileData;
    body += kCrlf + delimiter;

    QNetworkRequest request = makeRequest(url, userType);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArray("multipart/form-data; boundary=") + boundary);
    m_manager->post(request, body);
    connect(m_manager, SIGNAL(finished(QNetworkReply*)), this, SLOT(replyFinished(QNetworkReply*)));
}

QString HttpServices::hostFromUrl(const QString &url)
{
    QString host = url;
    host.remove(QStringLiteral("http://"));
    host.remove(QStringLiteral("https://"));
    host = host.section(QLatin1Char('/'), 0, 0);
    return host.section(QLatin1Char(':'), 0, 0);
}

void HttpServices::replyFinished(QNetworkReply *reply)
{
    const QString url = reply->url().toString();
    const int statusCode = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const int userType = reply->request().attribute(QNetworkRequest::User).toInt();
    // fromUtf8 on a char pointer stops at the first NUL byte, as the printer's callers expect.
    const QByteArray data = reply->isReadable() ? reply->readAll() : QByteArray();
    const QString body = QString::fromUtf8(data.constData());
    reply->deleteLater();
    emit http_finished(statusCode, userType, body, m_jobId, hostFromUrl(url));
    deleteLater();
}

QByteArray HttpServices::encrypt(const QString &text, const QString &key)
{
    if (text.isEmpty() || key.isEmpty())
        return QByteArray();
    const QByteArray plain = text.toUtf8();
    const QByteArray keyBytes = key.toLatin1();
    const std::string cipher = aesEncrypt(plain.toStdString(), keyBytes.toStdString(), kCipherKeyLength);
    return QByteArray(cipher.data(), static_cast<int>(cipher.size()));
}

QString HttpServices::decrypt(const QString &text, const QString &key, bool *ok)
{
    if (ok)
        *ok = true;
    if (text.isEmpty())
        return QString();
    if (key.isEmpty())
        return text;
    const QByteArray cipher = QByteArray::fromBase64(text.toLatin1());
    std::string plain;
    try {
        plain = aesDecrypt(cipher.toStdString(), key.toLatin1().toStdString(), kCipherKeyLength);
    } catch (const CryptoPP::Exception &e) {
        // Wrong key or damaged data: the caller gets nothing rather than an exception.
        qDebug() << "decrypt failed :" << e.what();
        if (ok)
            *ok = false;
        return QString();
    }
    const QByteArray bytes(plain.data(), static_cast<int>(plain.size()));
    qDebug().noquote() << "end  context :" << bytes << bytes.size();
    return QString::fromUtf8(bytes.constData());
}

QByteArray HttpServices::decryptRaw(const QString &text, const QString &key)
{
    if (text.isEmpty())
        return QByteArray();
    const QByteArray input = text.toLatin1();
    if (key.isEmpty())
        return input;
    qDebug().noquote() << "1111111 :" << input;
    std::string plain;
    try {
        plain = aesDecrypt(input.toStdString(), key.toLatin1().toStdString(), kCipherKeyLength);
    } catch (const CryptoPP::Exception &e) {
        qDebug() << "decrypt failed :" << e.what();
        return QByteArray();
    }
    const QByteArray bytes(plain.data(), static_cast<int>(plain.size()));
    qDebug().noquote() << "end  context :" << input << bytes;
    return bytes;
}

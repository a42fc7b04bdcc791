// One-shot HTTP request to a printer's web service; also carries the text
// cipher's Qt-level operations.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariant>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

class HttpServices : public QObject
{
    Q_OBJECT
public:
    // Transfer time-out of every request: a printer that accepts the
    // connection and never answers yields status 0 instead of hanging.
    static constexpr int kDefaultTransferTimeoutMs = 60000;
    // Test hook: shortens the time-out of requests made after the call.
    static void setTransferTimeoutForTest(int ms);
    static int transferTimeout();

    explicit HttpServices(QObject *parent = nullptr);
    ~HttpServices() override;

    void get(const QString &url, const QVariant &userType);
    void post(const QString &url, const QByteArray &body, const QVariant &userType, bool multipart);
    void uploadJob(const QString &url, const QString &jobInfo, const QString &fileName,
                   const QByteArray &fileData, const QVariant &userType);

    QByteArray encrypt(const QString &text, const QString &key);
    // ok (optional) tells a ciphertext that does not decrypt from an empty plaintext.
    QString decrypt(const QString &text, const QString &key, bool *ok = nullptr);
    QByteArray decryptRaw(const QString &text, const QString &key);

    // Host part of a request URL as handed back in http_finished.
    static QString hostFromUrl(const QString &url);

    QString m_jobId;

signals:
    void http_finished(int status_code, int user_type, QString strReply, QString StrJobID, QString ip);

public slots:
    void replyFinished(QNetworkReply *reply);

private:
    QNetworkRequest makeRequest(const QString &url, const QVariant &userType) const;

    QNetworkAccessManager *m_manager;
};

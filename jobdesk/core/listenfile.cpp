#include "listenfile.h"

#include "httpservices.h"
#include "paths.h"
#include "spoolfiles.h"
#include "textcipher.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QAtomicInt g_spoolBusy(0);

namespace
{

// A name as bytes for the log: anything but plain ASCII as \xNN.
QString printableName(const QByteArray &name)
{
    QString text;
    for (const char c : name) {
        const uchar u = uchar(c);
        if (u >= 0x20 && u < 0x7f && u != '\\')
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return text;
}

} // namespace

ListenFile::ListenFile(const QString &spoolDir, QObject *parent)
    : QThread(parent), m_spoolDir(spoolDir)
{
    std::memset(m_socketBuffer, 0, sizeof m_socketBuffer);
    moveToThread(this);

    m_timer = new QTimer();
    m_timer->moveToThread(this);
    connect(m_timer, SIGNAL(timeout()), this, SLOT(onTime()));
    m_timer->setInterval(kScanIntervalMs);

    m_cipher = new HttpServices();

    const QString key = QString::fromLatin1(kCipherKeyText);
    const QByteArray probe = m_cipher->encrypt(QStringLiteral("hello"), key).toBase64();
    qDebug().noquote() << "context  :" << m_cipher->decrypt(QString::fromLatin1(probe), key);

    purgeSpool();
}

ListenFile::~ListenFile()
{
    delete m_cipher;
    delete m_timer;
    delete m_server;
}

void ListenFile::run()
{
    m_server = new QTcpServer();
    m_server->listen(QHostAddress::Any, kSettingsPort);
    connect(m_server, SIGNAL(newConnection()), this, SLOT(newConnect()));
    m_timer->start();
    exec();
    // Timer, server and connections are released in the thread that used them.
    m_timer->stop();
    delete m_server;
    m_server = nullptr;
    m_socket = nullptr;
}

QStringList ListenFile::listSpool() const
{
    QStringList files;
    const QStringList names =
        QDir(m_spoolDir).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Size);
    for (const QString &name : names)
        if (spoolfiles::entryAt(m_spoolDir + name) == spoolfiles::Entry::Regular)
            files << name;
    return files;
}

void ListenFile::removeNamesThatAreNoText(QStringList *left)
{
    const int dirFd = ::open(QFile::encodeName(m_spoolDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    for (const QByteArray &name : spoolfiles::entryNames(dirFd)) {
        // A job is named in its ticket, the job log and the parts it goes out
        // as, all text: a name that is not text would come out as another
        // (perhaps another job's), and no path of ours would reach it.
        // Hidden entries are a writer's own, still being made.
        if (name.startsWith('.') || QFile::encodeName(QFile::decodeName(name)) == name)
            continue;
        struct stat st;
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
            continue;
        const QString shown = printableName(name);
        if (::unlinkat(dirFd, name.constData(), 0) == 0) {
            qDebug().noquote() << "spool entry name is not text, removed:" << shown;
        } else {
            if (!m_oddLeft.contains(shown))
                qDebug().noquote() << "spool entry name is not text, left in place:" << shown;
            *left << shown;
        }
    }
    ::close(dirFd);
}

void ListenFile::removeOddEntries()
{
    QStringList left;
    removeNamesThatAreNoText(&left);
    const QStringList names =
        QDir(m_spoolDir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString &name : names) {
        const QByteArray path = QFile::encodeName(m_spoolDir + name);
        bool removed = false;
        switch (spoolfiles::entryAt(m_spoolDir + name)) {
        case spoolfiles::Entry::Missing:
        case spoolfiles::Entry::Regular:
            continue;
        case spoolfiles::Entry::Folder:
            // Other folders block nothing. Only an empty one goes: removing
            // what is inside could follow a link swapped in meanwhile.
            if (!name.endsWith(QLatin1String(".xml")) && !name.endsWith(QLatin1String(".bar")))
                continue;
            removed = ::rmdir(path.constData()) == 0;
            break;
        case spoolfiles::Entry::Other:
            // A link goes itself; what it names is never touched.
            removed = ::unlink(path.constData()) == 0;
            break;
        }
        if (removed) {
            qDebug().noquote() << "spool entry is not a regular file, removed:" << name;
        } else {
            if (!m_oddLeft.contains(name))
                qDebug().noquote() << "spool entry is not a regular file, left in place:" << name;
            left << name;
        }
    }
    m_oddLeft = left;
}

void ListenFile::purgeSpool()
{
    removeOddEntries();
    const QStringList files = listSpool();
    if (files.size() <= 1)
        return;
    QDir dir(m_spoolDir);
    for (const QString &name : files) {
        dir.remove(name);
        qDebug().noquote() << "begin to removeFile:" << name;
    }
}

void ListenFile::noteRefusals(const QStringList &files)
{
    if (!m_lastHanded.isEmpty() && g_spoolBusy.loadAcquire() == 0) {
        if (files.contains(m_lastHanded)) {
            m_refused.removeAll(m_lastHanded);
            m_refused.append(m_lastHanded);
            // As it was when handed over: a change since, even during the
            // try, gets it tried again.
            m_refusedKeys.insert(m_lastHanded, m_lastHandedKey);
        }
        m_lastHanded.clear();
    }
    for (int i = 0; i < m_refused.size();) {
        if (files.contains(m_refused.at(i))) {
            ++i;
        } else {
            m_refusedKeys.remove(m_refused.at(i));
            m_refused.removeAt(i);
        }
    }
}

QByteArray ListenFile::refusalKey(const QString &name) const
{
    const QString path = m_spoolDir + name;
    return spoolfiles::identity(path) + spoolfiles::identity(path + QStringLiteral(".xml")) +
           spoolfiles::identity(paths::pruvoTool());
}

QStringList ListenFile::scanSpool()
{
    QStringList handed;
    removeOddEntries();
    QStringList files = listSpool();
    noteRefusals(files);
    if (files.size() < 2)
        return handed;
    // Ready files keep their size order; refused ones follow, oldest refusal first.
    for (const QString &name : qAsConst(m_refused))
        files.removeOne(name);
    files += m_refused;
    for (const QString &name : qAsConst(files)) {
        if (spoolfiles::entryAt(m_spoolDir + name + QStringLiteral(".xml")) != spoolfiles::Entry::Regular)
            continue;
        if (spoolfiles::entryAt(m_spoolDir + name) != spoolfiles::Entry::Regular)
            continue;
        const QByteArray key = refusalKey(name);
        if (m_refusedKeys.value(name) == key)
            continue;
        if (!g_spoolBusy.testAndSetOrdered(0, 1))
            continue;
        const QString path = m_spoolDir + name;
        m_lastHanded = name;
        m_lastHandedKey = key;
        handed << path;
        emit sigFindFile(path);
    }
    return handed;
}

void ListenFile::onTime()
{
    scanSpool();
}

void ListenFile::onRemoveFile(QString fileName)
{
    // An empty name would take the folder's own ".xml" and ".bar".
    if (fileName.isEmpty())
        return;
    QDir dir(m_spoolDir);
    dir.remove(fileName);
    dir.remove(fileName + QStringLiteral(".xml"));
    dir.remove(fileName + QStringLiteral(".bar"));
    qDebug().noquote() << "begin to removeFile:" << fileName;
}

void ListenFile::newConnect()
{
    QTcpSocket *socket = m_server->nextPendingConnection();
    if (!socket)
        return;
    m_socket = socket;
    connect(socket, SIGNAL(readyRead()), this, SLOT(onMessageRecive()));
    // A peer that has gone is released now rather than kept until shutdown.
    connect(socket, SIGNAL(disconnected()), socket, SLOT(deleteLater()));
}

void ListenFile::onMessageRecive()
{
    // Read from the connection that has data; an earlier peer still sending
    // must not be starved by a newer connection.
    QTcpSocket *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        socket = m_socket;
    if (!socket)
        return;
    // Handle every complete frame now: the peer may send nothing more to
    // wake us for the ones already buffered.
    while (readFrame(socket)) {
    }
}

bool ListenFile::readFrame(QTcpSocket *socket)
{
    if (socket->bytesAvailable() < 4)
        return false;
    uchar lengthBytes[4];
    if (socket->peek(reinterpret_cast<char *>(lengthBytes), 4) != 4)
        return false;
    const quint32 length = qFromLittleEndian<quint32>(lengthBytes);
    if (length > static_cast<quint32>(kMaxFrameBytes)) {
        // The rest of this stream cannot be framed any more: drop the peer.
        qDebug() << "socket frame too long, connection closed:" << length;
        socket->abort();
        return false;
    }
    if (socket->bytesAvailable() < static_cast<qint64>(length) + 4)
        return false;
    socket->read(reinterpret_cast<char *>(lengthBytes), 4);
    std::memset(m_socketBuffer, 0, sizeof m_socketBuffer);
    if (socket->read(m_socketBuffer, length) < static_cast<qint64>(length))
        return false;
    const QByteArray payload(m_socketBuffer, static_cast<int>(length));
    bool ok = true;
    const QString text = m_cipher->decrypt(QString::fromLatin1(payload.toBase64()),
                                           QString::fromLatin1(kCipherKeyText), &ok);
    if (!ok) {
        qDebug() << "socket message dropped: payload does not decrypt";
        return true;
    }
    emit sigSocket(text);
    qDebug().noquote() << "********socket message :*************" << text;
    return true;
}

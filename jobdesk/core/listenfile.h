// Spool listener: hands finished spool files to the controller one at a time
// and receives encrypted settings frames on TCP port 18020.
#pragma once

#include <QAtomicInt>
#include <QByteArray>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QThread>

class QTimer;
class QTcpServer;
class HttpServices;

// Job-busy flag: 0 idle, 1 a spool file is with the controller, 2 its upload failed.
extern QAtomicInt g_spoolBusy;

class ListenFile : public QThread
{
    Q_OBJECT
public:
    static constexpr quint16 kSettingsPort = 18020;
    static constexpr int kMaxFrameBytes = 2048;
    static constexpr int kScanIntervalMs = 500;

    explicit ListenFile(const QString &spoolDir, QObject *parent = nullptr);
    ~ListenFile() override;

    // One pass over the spool folder; returns the paths handed over.
    QStringList scanSpool();

protected:
    void run() override;

signals:
    void sigFindFile(QString str);
    void sigSocket(QString message);

public slots:
    void onTime();
    void onRemoveFile(QString fileName);
    void newConnect();
    void onMessageRecive();

private:
    // The regular files of the spool folder, largest first.
    QStringList listSpool() const;
    // Refuses what is no regular file (a link, FIFO, device, a folder named
    // like a companion) and every entry whose name is no text: removed, or
    // logged once when it cannot be.
    void removeOddEntries();
    void removeNamesThatAreNoText(QStringList *left);
    void purgeSpool();
    bool readFrame(QTcpSocket *socket);

    QString m_spoolDir;
    QTimer *m_timer = nullptr;
    QTcpServer *m_server = nullptr;
    // Cleared by itself when a closed connection is released.
    QPointer<QTcpSocket> m_socket;
    char m_socketBuffer[kMaxFrameBytes];
    HttpServices *m_cipher = nullptr;

    // --- refused spool files (jpipe) ---
    // A file handed over that is still in the folder once the controller is
    // idle again was refused (repeated job name, still being written, bad
    // companion). Such a file is offered again only once it, its companion
    // or the converter tool has changed since it was handed over, so that it
    // is tried and logged once per change, not at every scan; then after
    // every other ready file, the least recently refused first, so none of
    // them holds up the rest.
    void noteRefusals(const QStringList &files);
    // What the intake's answer for a file depends on, as bytes that change with it.
    QByteArray refusalKey(const QString &name) const;
    QString m_lastHanded;
    QByteArray m_lastHandedKey;
    QStringList m_refused;
    QHash<QString, QByteArray> m_refusedKeys;
    // --- end of refused spool files ---
    // Odd entries that could not be removed, already logged.
    QStringList m_oddLeft;
};

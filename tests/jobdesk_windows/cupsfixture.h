// A private CUPS scheduler on loopback for tests that read the CUPS printer list.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class CupsFixture
{
public:
    CupsFixture();
    ~CupsFixture();

    // Starts cupsd on 127.0.0.1 and points this process's CUPS client at it
    // (CUPS_SERVER), so call it before anything asks CUPS for printers.
    bool start();
    // Adds an enabled queue with a file:///dev/null device and a PPD whose
    // *NickName is nickName.
    bool addQueue(const QString &name, const QString &nickName);
    bool removeQueue(const QString &name);
    QString error() const { return m_error; }

private:
    bool runAdmin(const QStringList &args);

    QTemporaryDir m_dir;
    QProcess m_cupsd;
    QString m_server;
    QString m_error;
};

// Runs sim/printer-web on one loopback address for the length of a test.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testjob {

class SimPrinter
{
public:
    // `host` is a 127.0.0.x address, or empty to take a free one at start();
    // `args` are extra printer-web options.
    SimPrinter(const QString &host, const QStringList &args = {});
    static QString unusedHost();
    ~SimPrinter();

    bool start();   // true once the stand-in is listening
    void stop();

    QString host() const { return m_host; }
    QString store() const { return m_store.path(); }
    QString jobDir(const QString &jobId) const;
    QByteArray jobFile(const QString &jobId, const QString &name) const;
    // Lines of JOBID/parts.txt: "N filename bytes reply".
    QStringList parts(const QString &jobId) const;
    // Bodies of the kept requests to a page ("print", "getJobStatus", ...).
    QList<QByteArray> requestBodies(const QString &page) const;
    QString events() const;

private:
    bool startOn(const QString &host);

    QString m_host;
    QStringList m_args;
    QTemporaryDir m_store;
    QProcess m_process;
};

} // namespace testjob

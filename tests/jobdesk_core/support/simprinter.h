// Runs sim/printer-web on a loopback address for the length of a test.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

class SimPrinterProcess
{
public:
    // host: 127.0.0.x, or empty to take a free address in 127.0.0.100-199 (several
    // worktrees may run the same tests at once); store: folder the printer keeps what it receives in;
    // extraArgs: further printer-web options, e.g. {"--print-replies", "1001,2001"}.
    SimPrinterProcess(const QString &host, const QString &store, const QStringList &extraArgs = {});
    ~SimPrinterProcess();

    // Starts the printer and waits until it listens; false on failure.
    bool start(int timeoutMs = 20000);
    void stop();

    QString host() const { return m_host; }
    QString store() const { return m_store; }
    // "http://HOST:9100/jyx/" + page
    QString url(const QString &page) const;

    // Lines of the store's events.log so far.
    QStringList events() const;
    // Waits until an events.log line contains text, serving this thread's events
    // meanwhile; false on time-out.
    bool waitForEvent(const QString &text, int timeoutMs = 20000) const;
    // Raw bodies and heads of the requests a page received, in arrival order.
    QList<QByteArray> requestBodies(const QString &page) const;
    QList<QByteArray> requestHeads(const QString &page) const;
    // A file of the store, e.g. "job7/data.prn"; empty when missing.
    QByteArray storeFile(const QString &relative) const;

    static QString binary();

    // Call before anything of this process binds a fixed port such as 18020.
    // Takes a lock for the port in this network namespace (a test in a
    // namespace of its own has it to itself; on the machine's network CTest's
    // RESOURCE_LOCK only orders the tests of one run, and several builds may
    // run their suites at once) that this process then keeps until it exits,
    // waiting in line for it as long as it takes; then waits up to timeoutMs
    // until nobody listens on the port any more (a process that takes no
    // lock); false on time-out.
    static bool waitForPortFree(quint16 port, int timeoutMs = 60000);

private:
    QList<QByteArray> requestFiles(const QString &page, const QString &suffix) const;
    bool startOn(const QString &host, int timeoutMs);

    QString m_host;
    QString m_store;
    QStringList m_extraArgs;
    QProcess m_process;
};

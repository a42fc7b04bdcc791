#include "jobdesk.h"

#include "listenfile.h"
#include "paths.h"
#include "printconfig.h"
#include "simprinter.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <cstdio>
#include <cstdlib>

static void initSpoolbayResources()
{
    Q_INIT_RESOURCE(spoolbay);
}

namespace testjob {

namespace {

QMutex g_logMutex;
QStringList g_log;
QtMessageHandler g_previous = nullptr;
std::function<void(const QString &)> g_hook;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    std::function<void(const QString &)> hook;
    {
        QMutexLocker lock(&g_logMutex);
        g_log << msg;
        hook = g_hook;
    }
    if (hook)
        hook(msg);
    if (qEnvironmentVariableIsSet("JOBDESK_TEST_VERBOSE") || type != QtDebugMsg) {
        if (g_previous)
            g_previous(type, context, msg);
        else
            std::fprintf(stderr, "%s\n", msg.toLocal8Bit().constData());
    }
}

} // namespace

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeBytes(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

void installLogCapture()
{
    if (!g_previous)
        g_previous = qInstallMessageHandler(captureMessage);
}

QStringList logLines()
{
    QMutexLocker lock(&g_logMutex);
    return g_log;
}

void clearLog()
{
    QMutexLocker lock(&g_logMutex);
    g_log.clear();
}

bool logContains(const QString &text)
{
    QMutexLocker lock(&g_logMutex);
    for (const QString &l : qAsConst(g_log))
        if (l.contains(text))
            return true;
    return false;
}

void setLogHook(std::function<void(const QString &)> hook)
{
    QMutexLocker lock(&g_logMutex);
    g_hook = std::move(hook);
}

JobDesk::JobDesk()
{
    if (!m_root.isValid() || !m_cache.isValid())
        return;
    initSpoolbayResources();
    installLogCapture();
    qputenv("SPOOLBAY_TEST_ROOT", m_root.path().toLocal8Bit());
    m_previousCache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cache.path()));
    QDir().mkpath(paths::spoolDir());
    QDir().mkpath(paths::dataDir());
    QDir().mkpath(QFileInfo(paths::logFile()).absolutePath());
    setConverterInstalled(true);
    // Another test run may hold the settings port; its peers must not reach ours.
    if (!SimPrinterProcess::waitForPortFree(18020))
        return;
    g_spoolBusy.storeRelease(0);
    m_controller.reset(new PrintConfig());
    m_ok = true;
}

JobDesk::~JobDesk()
{
    m_controller.reset();
    qunsetenv("SPOOLBAY_TEST_ROOT");
    if (m_previousCache.isNull())
        qunsetenv("XDG_CACHE_HOME");
    else
        qputenv("XDG_CACHE_HOME", m_previousCache);
}

QString JobDesk::spoolDir() const
{
    return paths::spoolDir();
}

QString JobDesk::jobLogPath(const QString &printer) const
{
    return paths::jobLogFile(printer);
}

void JobDesk::setConverterInstalled(bool installed)
{
    const QString tool = paths::pruvoTool();
    QFile::remove(tool);
    if (!installed)
        return;
    QDir().mkpath(QFileInfo(tool).absolutePath());
    QFile::copy(QStringLiteral(PRUVO_BIN), tool);
    QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void JobDesk::installConverter(const QByteArray &after)
{
    const QString tool = paths::pruvoTool();
    QFile::remove(tool);
    writeBytes(tool,
               "#!/bin/sh\n\"" + QFile::encodeName(QStringLiteral(PRUVO_BIN)) + "\" \"$@\"\n" + after + "\n");
    QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool JobDesk::dropJob(const QString &name, const PjlJob &job, const QByteArray &xml)
{
    return writePjlJob(spoolPath(name), job) && writeBytes(spoolPath(name) + QStringLiteral(".xml"), xml);
}

bool JobDesk::dropFile(const QString &name, const QByteArray &data, const QByteArray &xml)
{
    return writeBytes(spoolPath(name), data) && writeBytes(spoolPath(name) + QStringLiteral(".xml"), xml);
}

QStringList JobDesk::spoolFiles() const
{
    return QDir(spoolDir()).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

QList<QMap<QString, QString>> readJobLog(const QString &dbPath)
{
    QList<QMap<QString, QString>> rows;
    const QString name = QStringLiteral("jobdesk-test-reader");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(dbPath);
        if (QFile::exists(dbPath) && db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("SELECT * FROM R_JobInfo"))) {
                while (q.next()) {
                    QMap<QString, QString> row;
                    const QSqlRecord rec = q.record();
                    for (int i = 0; i < rec.count(); ++i)
                        row.insert(rec.fieldName(i), q.value(i).isNull() ? QStringLiteral("<NULL>") : q.value(i).toString());
                    rows << row;
                }
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

QList<QMap<QString, QString>> JobDesk::jobLogRows(const QString &printer) const
{
    return readJobLog(jobLogPath(printer));
}

QString JobDesk::jobRow(const QString &rowId) const
{
    for (const QString &row : qAsConst(m_controller->mPrinterTask.m_workFileList))
        if (row.section(QLatin1Char('|'), 0, 0) == rowId)
            return row;
    return QString();
}

} // namespace testjob

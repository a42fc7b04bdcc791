#include "messagelog.h"

#include <QMutexLocker>

MessageLog *MessageLog::s_current = nullptr;

MessageLog::MessageLog()
{
    s_current = this;
    m_previous = qInstallMessageHandler(&MessageLog::handler);
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(m_previous);
    s_current = nullptr;
}

void MessageLog::handler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    MessageLog *log = s_current;
    if (!log)
        return;
    QMutexLocker lock(&log->m_mutex);
    if (type == QtDebugMsg)
        log->m_debug << msg;
    log->m_all << QString::number(int(type)) + QStringLiteral(": ") + msg;
}

QStringList MessageLog::debug() const
{
    QMutexLocker lock(&m_mutex);
    return m_debug;
}

QStringList MessageLog::all() const
{
    QMutexLocker lock(&m_mutex);
    return m_all;
}

bool MessageLog::contains(const QString &text) const
{
    QMutexLocker lock(&m_mutex);
    for (const QString &m : m_debug)
        if (m.contains(text))
            return true;
    return false;
}

void MessageLog::clear()
{
    QMutexLocker lock(&m_mutex);
    m_debug.clear();
    m_all.clear();
}

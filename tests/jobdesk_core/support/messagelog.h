// Collects every Qt message of a test (all threads) for later checks.
#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class MessageLog
{
public:
    MessageLog();
    ~MessageLog();

    QStringList debug() const;     // debug messages only
    QStringList all() const;       // every message, "type: text"
    bool contains(const QString &text) const;  // any debug message containing text
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg);
    static MessageLog *s_current;
    mutable QMutex m_mutex;
    QStringList m_debug;
    QStringList m_all;
    QtMessageHandler m_previous = nullptr;
};

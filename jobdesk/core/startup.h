// Start-up helpers: single-instance lock, log message handler, folders.
#pragma once

#include <QString>
#include <QtGlobal>

class QMessageLogContext;

// Size above which the log restarts before the next write.
constexpr qint64 kLogRestartSize = 102400;
// A line feed, 17 '-', "restart", 15 '-'.
inline constexpr char kLogRestartMarker[] = "\n-----------------restart---------------";

// True when this process now holds the lock file (kept for the process' life).
bool checkSingleInstance();

// Qt message handler: debug messages go to standard output and the log file.
void messageOutput(QtMsgType type, const QMessageLogContext &context, const QString &msg);

// True when the folder exists or could be made.
bool ensureFolder(const QString &path);

// Registers the program's resources (the tray icon); safe to call repeatedly.
void initSpoolbayResources();

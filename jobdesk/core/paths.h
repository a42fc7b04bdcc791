// Every fixed path of the job desk, in one place.
//
// Tests relocate all of them under one root prefix taken from
// SPOOLBAY_TEST_ROOT (read with secure_getenv, so a set-uid run ignores it).
// Unset, every path is exactly the built-in string.
#pragma once

#include <QString>
#include <cstdlib>

namespace paths {

constexpr const char kLockFile[] = "/var/porvik/INSTALL/serverlockfile";
constexpr const char kLogFile[] = "/var/porvik/INSTALL/Log/Spoolbay.log";
constexpr const char kSpoolDir[] = "/var/porvik/SPOOL/";
constexpr const char kPruvoTool[] = "/var/porvik/INSTALL/pruvo";
constexpr const char kDataDir[] = "/var/porvik/data/";
constexpr const char kJobLogFileName[] = "/porvikdb.dll";

// Relative to the program's own folder.
constexpr const char kPluginFolder[] = "/plugins";
constexpr const char kTranslationFile[] = "/qt_zh_CN.qm";
constexpr const char kFontFile[] = "/wqy-zenhei.ttf";

inline QString testRoot()
{
    const char *root = secure_getenv("SPOOLBAY_TEST_ROOT");
    return root ? QString::fromLocal8Bit(root) : QString();
}

// A fixed absolute path, moved under the test root when one is set.
inline QString fixed(const char *path)
{
    return testRoot() + QString::fromLatin1(path);
}

inline QString lockFile() { return fixed(kLockFile); }
inline QString logFile() { return fixed(kLogFile); }
inline QString spoolDir() { return fixed(kSpoolDir); }
inline QString pruvoTool() { return fixed(kPruvoTool); }
inline QString dataDir() { return fixed(kDataDir); }

// "/var/porvik/data/" + printer + "/porvikdb.dll"
inline QString jobLogFile(const QString &printer)
{
    return dataDir() + printer + QString::fromLatin1(kJobLogFileName);
}

} // namespace paths

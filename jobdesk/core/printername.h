// The printer name from the converter is both a folder under the data folder
// and the host the job is sent to, so only a plain queue name or address may
// stand there.
#pragma once

#include <QString>

// True for a plain name ([A-Za-z0-9._-], not "." or "..") and for the empty
// name (no printer named: the job log stays in the data folder itself and an
// upload without a host fails on its own).
inline bool printerNameUsable(const QString &name)
{
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        const ushort u = c.unicode();
        const bool plain = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '.'
                           || u == '_' || u == '-';
        if (!plain)
            return false;
    }
    return true;
}

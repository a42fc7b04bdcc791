// The printer name from the converter is both a folder under the data folder
// and the host the job is sent to, so only a plain queue name or address may
// stand there.
#pragma once

#include <QString>

// True for a plain name ([A-Za-z0-9._-], not "." or ".."). No name names no
// printer: the job log would be the data folder's own file and the job would
// go to no host (the companion stays empty while the converter tool is gone).
inline bool printerNameUsable(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
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

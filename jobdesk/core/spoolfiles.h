// Files of the spool folder, which every member of the group may fill,
// rename and empty: nothing there is opened through a link or as anything
// but a regular file, and a file the job desk writes replaces the entry
// instead of being written through it.
#pragma once

#include <QByteArray>
#include <QString>

namespace spoolfiles
{

enum class Entry { Missing, Regular, Folder, Other };

// What the entry at path is itself (a link is Other, whatever it names).
Entry entryAt(const QString &path);

// Opens an existing entry for reading without following a link and without
// blocking on a FIFO or device; -1 when it cannot be opened or is no regular
// file (then *notRegular is set).
int openRegular(const QString &path, bool *notRegular = nullptr);

// The whole of a regular file, opened as above; false when it cannot be read.
bool readRegular(const QString &path, QByteArray *data, bool *notRegular = nullptr);

// Writes data to a new file of our own in path's folder and renames it over
// path, which replaces whatever entry is there (a link itself, never what it
// names); false, with nothing left behind, when that cannot be done.
bool replaceFile(const QString &path, const QByteArray &data);

} // namespace spoolfiles

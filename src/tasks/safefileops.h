#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// File-system steps of an installation that never overwrite, never follow a symbolic link
// at the target and never leave a half-written file under a real name.
namespace SafeFileOps {

// Moves from to to unless something (even a dangling link) is at to. Never copies. On
// failure errno tells why.
bool renameNoReplace(const QString& from, const QString& to);

// True when anything is at path, a dangling symbolic link included.
bool entryExists(const QString& path);
// What a name holds, links not followed.
enum class Entry { None, Directory, Other };
Entry entryKind(const QString& path);

// Creates dest from what write puts into an unnamed file in dest's directory; the file
// gets its name only when write succeeded and the data is complete, and never replaces
// an existing entry. A killed process leaves nothing behind.
bool createFileAtomically(const QString& dest, const std::function<bool(int fd)>& write);

// Writes all of data to fd, resuming after short writes and signals.
bool writeAll(int fd, const char* data, qint64 size);

// Flushes the file system that holds path to disk, once for many files.
bool syncFileSystem(const QString& path);

// Removes the files (not directories) at paths, several at a time: an unlink whose blocks
// are already on disk waits for the disk, and many such waits overlap. Missing files and
// failures are ignored.
void removeFiles(const QStringList& paths);

}

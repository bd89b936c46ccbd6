#pragma once

#include <QString>
#include <QtGlobal>

struct FileSpecifications;

// Before the first download: may the update write where it has to, and is there room for
// what it will write? Downloads go to the working directory; new and unpacked files go into
// the installation while the files they replace stay there until the update has succeeded.
namespace StorageCheck {

// Empty when the update fits; otherwise why not, naming the place (and the figures).
QString check(const FileSpecifications& lists, const QString& installRoot, const QString& workingDir);

// What the update asks to be free for `bytes` it will write: a twentieth and 1 MiB more.
qint64 withMargin(qint64 bytes);

// Bytes an unprivileged writer may still use at path; -1 when the system cannot tell.
qint64 availableBytes(const QString& path);

// Makes every place report `bytes` free (the test program only); negative: ask the system.
void setAvailableBytesOverride(qint64 bytes);

}

#include "tasks/filecopyfunc.h"

#include <QFile>

FileCopyFunc::FileCopyFunc(const QString& sourcePath, const QString& destPath)
    : SlowFileOpFunc(sourcePath, destPath)
{
}

bool FileCopyFunc::run()
{
    // QFile::copy refuses an existing destination and writes through a temporary file
    // in the destination's directory, so a failed copy leaves nothing behind.
    return QFile::copy(sourcePath, destPath);
}

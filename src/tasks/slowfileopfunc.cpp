#include "tasks/slowfileopfunc.h"

#include <cstring>

SlowFileOpFunc::SlowFileOpFunc(const QString& sourcePath, const QString& destPath)
    : sourcePath(sourcePath)
    , destPath(destPath)
{
}

QString SlowFileOpFunc::systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

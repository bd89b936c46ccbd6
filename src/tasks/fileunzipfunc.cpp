#include "tasks/fileunzipfunc.h"

#include "tasks/safefileops.h"

#include <cerrno>

#include <zlib.h>

namespace {
constexpr int BufferSize = 16384;
}

FileUnzipFunc::FileUnzipFunc(const QString& sourcePath, const QString& destPath)
    : SlowFileOpFunc(sourcePath, destPath)
{
}

bool FileUnzipFunc::run()
{
    return unzipFile(destPath, sourcePath);
}

bool FileUnzipFunc::unzipFile(const QString& dest, const QString& source)
{
    QString reason;
    // The output stays nameless until it is complete: a kill mid-way leaves no truncated
    // file under the installed name, and whatever is at the destination is left alone.
    const bool ok = SafeFileOps::createFileAtomically(dest, [&source, &reason](int fd) {
        gzFile stream = gzopen(source.toUtf8().constData(), "rb");
        if (!stream) {
            reason = systemError(errno);
            return false;
        }
        gzrewind(stream);
        char buffer[BufferSize];
        for (;;) {
            const int n = gzread(stream, buffer, BufferSize);
            if (n == 0)
                break;
            if (n < 0) {
                int code = Z_OK;
                reason = QString::fromLocal8Bit(gzerror(stream, &code));
                gzclose(stream);
                return false;
            }
            if (!SafeFileOps::writeAll(fd, buffer, n)) {
                reason = systemError(errno);
                gzclose(stream);
                return false;
            }
        }
        // A truncated stream reads as a plain end of data; only gzclose reports it.
        if (gzclose(stream) == Z_OK)
            return true;
        reason = QStringLiteral("the compressed data ends early or is damaged");
        return false;
    });
    if (!ok)
        Q_EMIT failed(reason.isEmpty() ? systemError(errno) : reason);
    return ok;
}

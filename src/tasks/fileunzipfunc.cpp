#include "tasks/fileunzipfunc.h"

#include "tasks/safefileops.h"

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
    // The output stays nameless until it is complete: a kill mid-way leaves no truncated
    // file under the installed name, and whatever is at the destination is left alone.
    return SafeFileOps::createFileAtomically(dest, [&source](int fd) {
        gzFile stream = gzopen(source.toUtf8().constData(), "rb");
        if (!stream)
            return false;
        gzrewind(stream);
        char buffer[BufferSize];
        for (;;) {
            const int n = gzread(stream, buffer, BufferSize);
            if (n == 0)
                break;
            if (n < 0 || !SafeFileOps::writeAll(fd, buffer, n)) {
                gzclose(stream);
                return false;
            }
        }
        // A truncated stream reads as a plain end of data; only gzclose reports it.
        return gzclose(stream) == Z_OK;
    });
}

#include "tasks/fileunzipfunc.h"

#include <QFile>

#include <zlib.h>

namespace {
constexpr int BufferSize = 16384;

// Closes the stream and tells whether it ended cleanly. A truncated stream reads as a
// plain end of data; only gzclose reports it (Z_BUF_ERROR).
bool closeStream(gzFile stream)
{
    return gzclose(stream) == Z_OK;
}
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
    QFile out(dest);
    // NewOnly: whatever is at the destination is not ours to truncate or delete.
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;
    const auto fail = [&out]() {
        out.close();
        out.remove();
        return false;
    };

    gzFile stream = gzopen(source.toUtf8().constData(), "rb");
    if (!stream)
        return fail();
    gzrewind(stream);

    char buffer[BufferSize];
    for (;;) {
        const int n = gzread(stream, buffer, BufferSize);
        if (n == 0)
            break;
        if (n < 0 || out.write(buffer, n) != n) {
            gzclose(stream);
            return fail();
        }
    }
    if (!closeStream(stream))
        return fail();
    out.close();
    if (out.error() != QFileDevice::NoError)
        return fail();
    return true;
}

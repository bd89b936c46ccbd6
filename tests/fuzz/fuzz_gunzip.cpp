// The gzip unpacker of the install step, on any download.
#include "fuzzsupport.h"
#include "tasks/fileunzipfunc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString source = fuzzDir().filePath(QStringLiteral("download.gz"));
    static const QString dest = fuzzDir().filePath(QStringLiteral("installed"));
    writeFuzzFile(source, fuzzBytes(data, size));
    FileUnzipFunc unzip(source, dest);
    const bool ok = unzip.run();
    // A failed unpack leaves nothing; a good one leaves exactly the file.
    if (QFile::exists(dest) != ok)
        __builtin_trap();
    QFile::remove(dest);
    return 0;
}

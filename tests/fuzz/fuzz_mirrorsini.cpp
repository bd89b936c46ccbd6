// mirrors.ini, then the pool it gives through draws, errors and releases.
#include "fuzzsupport.h"
#include "net/mirrors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = freshPath(QStringLiteral(".ini"));
    writeFuzzFile(path, fuzzBytes(data, size));
    Mirrors pool(nullptr);
    pool.initDefault(path, 4711);
    QFile::remove(path);
    for (int round = 0; round < 64; ++round) {
        FTPSiteAccessData mirror;
        const int result = pool.getRandomMirror(mirror);
        if (result == MirrorsExhausted)
            break;
        if (result == MirrorAssigned) {
            pool.addMirrorError(mirror.name);
            if (round % 3 == 0)
                pool.removeMirror(mirror.name);
        }
        if (!pool.getMirrorList().isEmpty())
            pool.releaseMirror(pool.getMirrorList().first().name);
    }
    return 0;
}

// bench_md5check FILE MD5: runs the updater's MD5 check of FILE once; exit 0 when it passes.
#include "update/checksignaturetaskspecification.h"

#include <QString>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_md5check FILE MD5\n");
        return 2;
    }
    CheckSigFunc func(QString::fromLocal8Bit(argv[1]), QString::fromLatin1(argv[2]));
    return func.run() ? 0 : 1;
}

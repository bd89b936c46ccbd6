// Compiles the download/replace/delete lists for an installation, as phase 2 of an
// update does, and prints the sizes of the lists.
//
//     bench_listcompile <installation dir> <working dir> <client type>

#include "core/configuration.h"
#include "update/filespecifications.h"
#include "update/makedownloadreplacelisttaskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <installation dir> <working dir> <client type>\n", argv[0]);
        return 2;
    }
    Configuration::setAppRootPath(QString::fromLocal8Bit(argv[1]));
    Configuration config;
    config.tempDir = QString::fromLocal8Bit(argv[2]);
    config.clientType = QString::fromLocal8Bit(argv[3]);

    FileSpecifications lists;
    MakeDownloadReplaceListFunc func(&config, lists);
    QElapsedTimer timer;
    timer.start();
    const bool ok = func.run();
    std::printf("ok=%d download=%lld replace=%lld delete=%lld ms=%lld\n", ok ? 1 : 0,
                static_cast<long long>(lists.downloadList.size()), static_cast<long long>(lists.replaceList.size()),
                static_cast<long long>(lists.deleteList.size()), static_cast<long long>(timer.elapsed()));
    return ok ? 0 : 1;
}

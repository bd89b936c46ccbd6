// The product ini reader and the download/replace/delete list compiler.
#include "core/configuration.h"
#include "fuzzsupport.h"
#include "update/makedownloadreplacelisttaskspecification.h"

#include <QDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Configuration* configuration = [] {
        QDir(fuzzDir().path()).mkpath(QStringLiteral("root/data"));
        QDir(fuzzDir().path()).mkpath(QStringLiteral("work"));
        // Installed and downloaded files for the MD5 comparisons to find.
        writeFuzzFile(fuzzDir().filePath(QStringLiteral("root/data/a.txt")), "installed");
        writeFuzzFile(fuzzDir().filePath(QStringLiteral("work/data/a.txt")), "downloaded");
        Configuration::setAppRootPath(fuzzDir().filePath(QStringLiteral("root")));
        auto* c = new Configuration;
        c->tempDir = fuzzDir().filePath(QStringLiteral("work"));
        return c;
    }();
    static quint64 run = 0;
    configuration->clientType = QStringLiteral("client%1").arg(++run);
    const QString ini = configuration->tempDir + QLatin1Char('/') + configuration->clientType + QStringLiteral(".ini");
    writeFuzzFile(ini, fuzzBytes(data, size));

    FileSpecifications lists;
    MakeDownloadReplaceListFunc compiler(configuration, lists);
    if (compiler.run()) {
        for (const FileReplaceSpecification& entry : lists.replaceList) {
            (void)entry.oldDestFileName();
            (void)entry.hasUnzip();
        }
    }
    QFile::remove(ini);
    (void)MakeDownloadReplaceListFunc::isSafeRelativePath(QString::fromUtf8(fuzzBytes(data, size)));
    return 0;
}

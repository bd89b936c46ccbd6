// update.ini: the channel, the proxy and stream settings, the session record and the alpha
// server's mirror.
#include "core/configuration.h"
#include "core/updateinidata.h"
#include "fuzzsupport.h"
#include "net/mirrors.h"

#include <QDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A fresh installation directory each time: the INI reader caches files by name.
    const QString root = freshPath(QString());
    QDir().mkpath(root);
    Configuration::setAppRootPath(root);
    writeFuzzFile(Configuration::updateIniPath(), fuzzBytes(data, size));

    Configuration configuration;
    configuration.getUpdateChannel();
    configuration.getProxyAndDownloadConcurrency();
    int version = 0;
    QString type;
    QString dir;
    (void)UpdateIniData::get(&version, &type, &dir);
    Mirrors pool(nullptr);
    (void)pool.initAlpha(Configuration::updateIniPath(), configuration.clientVersion);

    QDir(root).removeRecursively();
    return 0;
}

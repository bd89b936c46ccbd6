#include "core/processtools.h"

#include "core/configuration.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace ProcessTools {

void startQv3Client()
{
    // The whole path is the program, so a blank in the installation directory does not split it.
    const QString script = Configuration::getAppRootPath() + QLatin1Char('/') + Configuration::getClientBinaryName();
    (void)QProcess::startDetached(script, QStringList());
}

}

#include "core/configuration.h"

#include <QCoreApplication>

namespace {
QString& appRootOverride()
{
    static QString path;
    return path;
}
}

Configuration::Configuration()
    : QObject(nullptr)
{
}

QString Configuration::getAppRootPath()
{
    const QString& root = appRootOverride();
    return root.isEmpty() ? QCoreApplication::applicationDirPath() : root;
}

void Configuration::setAppRootPath(const QString& path)
{
    appRootOverride() = path;
}

QString Configuration::updateIniPath()
{
    return getAppRootPath() + QStringLiteral("/update.ini");
}

QString Configuration::getUpdateType()
{
    return QStringLiteral("client_linux_amd64");
}

QString Configuration::getClientBinaryName()
{
    return QStringLiteral("qv3client_runscript.sh");
}

const QString& Configuration::getSpecialFileRenamePrefix()
{
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

QStringList Configuration::getSpecialFileNames()
{
    return {QStringLiteral("update"),           QStringLiteral("libQtCore.so.4"),
            QStringLiteral("libQtGui.so.4"),    QStringLiteral("libQtNetwork.so.4"),
            QStringLiteral("libqgif.so"),       QStringLiteral("libqjpeg.so"),
            QStringLiteral("libqtaccessiblewidgets.so")};
}

bool Configuration::isSpecialFileName(const QString& fileName) const
{
    return getSpecialFileNames().contains(fileName);
}

// TODO(start-up): the rest of the configuration (command line, update.ini, temp dir).

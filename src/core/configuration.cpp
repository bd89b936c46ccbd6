#include "core/configuration.h"

#include "core/updatechecker.h"
#include "ui/messageboxes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <memory>

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

void Configuration::getProxyAndDownloadConcurrency()
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    proxyUrl = settings.value(QStringLiteral("proxy"), QString()).toString();
    downloadStreams = settings.value(QStringLiteral("streams"), 6).toInt();
    if (downloadStreams < 1)
        downloadStreams = 6;
    // A mirror slower than this is replaced as a silent one is; 0 switches the floor off.
    minimumSpeed = qMax<qint64>(0, settings.value(QStringLiteral("minimumSpeed"), 1024).toLongLong());
    minimumSpeedSeconds = settings.value(QStringLiteral("minimumSpeedTime"), 30).toInt();
    if (minimumSpeedSeconds < 1)
        minimumSpeedSeconds = 30;
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        Q_EMIT fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += QStringLiteral("quorvel_temp_");

    for (int n = 0; n < 1000; ++n) {
        const QString candidate = base + QString::number(n);
        if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink())
            continue;
        // mkdir, not mkpath: it fails when someone else created the directory meanwhile,
        // and the downloads in it are readable by this user only.
        if (QDir().mkpath(QFileInfo(candidate).absolutePath())
            && QDir().mkdir(candidate, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) {
            tempDir = candidate;
            return true;
        }
    }
    Q_EMIT fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

bool Configuration::initalizeStart(const QString& previousDir)
{
    if (previousDir.isEmpty())
        return createTempDir();
    tempDir = previousDir;
    return true;
}

bool Configuration::getClientVersionFromString(const QString& text, const QString& errorFormat)
{
    // A version already set (the alpha channel's "alphaRevno") wins.
    if (clientVersion != 0)
        return true;
    bool ok = false;
    clientVersion = text.toInt(&ok, 10);
    if (ok)
        return true;
    clientVersion = 0;
    Q_EMIT fatalError(errorFormat.arg(text));
    return false;
}

bool Configuration::getClientTypeVersion(const QStringList& args, int index)
{
    if (index < 0 || index >= args.size()) {
        Q_EMIT fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    clientType = args.at(index);
    if (index + 1 >= args.size()) {
        Q_EMIT fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return getClientVersionFromString(args.at(index + 1),
                                      QCoreApplication::translate("QObject", "Invalid version nr (%1)"));
}

void Configuration::getUpdateChannel()
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha"), QString()).toString();
    const bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!alpha.isEmpty()) {
        channel = Alpha;
        clientVersion = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
    } else if (beta) {
        channel = Beta;
        clientVersion = 0;
    } else {
        channel = Stable;
        clientVersion = 0;
    }
}

QPair<QString, QString> Configuration::getLatestClientVersion(UpdateChannel channel, QString& news)
{
    const auto askRetry = [this] {
        if (retryQuery)
            return retryQuery();
        const QMessageBox::StandardButton answer = MessageBoxes::critical(
            nullptr, QCoreApplication::translate("QObject", "Error"),
            QCoreApplication::translate("QObject", "Failed to query latest client\nversion from update server."),
            QMessageBox::Abort | QMessageBox::Retry, QMessageBox::Abort);
        return answer == QMessageBox::Retry;
    };

    const auto checker = std::make_unique<UpdateChecker>();
    while (!checker->checkUpdate()) {
        if (!askRetry())
            return qMakePair(QString(), QString());
    }
    const QPair<QString, QString> latest = checker->getClientVersionByChannel(channel);
    news = checker->news;
    return latest;
}

bool Configuration::getDefaultParameters()
{
    if (clientType.isEmpty())
        clientType = getUpdateType();
    if (clientVersion != 0)
        return true;

    const QPair<QString, QString> latest = getLatestClientVersion(channel, newsText);
    versionQueryFailed = true;
    if (latest.first.isEmpty())
        return false;
    const QString invalid = QCoreApplication::translate("QObject", "Update server returned invalid version nr (%1)");
    if (!getClientVersionFromString(latest.first, invalid))
        return false;
    // A parsed 0 names no version, and nothing else is left to ask: an unattended run
    // would otherwise go on to update to version 0.
    if (clientVersion == 0) {
        Q_EMIT fatalError(invalid.arg(latest.first));
        return false;
    }
    versionQueryFailed = false;
    versionLabel = latest.second;
    return true;
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList& arguments)
{
    getUpdateChannel();
    unattended = 0;

    const QString noUser = QStringLiteral("--nouser");
    const int count = arguments.size() - 1; // without the program
    if (count >= 1 && arguments.at(1) == noUser) {
        if (count >= 3) {
            if (!getClientTypeVersion(arguments, 2))
                return false;
            if (count >= 4 && arguments.at(4) != QLatin1String("#"))
                versionLabel = arguments.at(4);
            if (count >= 5)
                newsText = arguments.at(5);
        }
        const bool resolved = getDefaultParameters();
        if (resolved)
            unattended = 1;
        return resolved;
    }
    if (count == 2) {
        if (!getClientTypeVersion(arguments, 1))
            return false;
        // "0" parses but names no version: ask the server rather than go on with version 0.
        return clientVersion != 0 || getDefaultParameters();
    }
    return getDefaultParameters();
}

#include "core/updateengine.h"

#include "core/configuration.h"
#include "core/qrandcompat.h"
#include "core/updateinidata.h"
#include "net/httpaccessmanager.h"
#include "net/mirrors.h"
#include "ui/banner.h"
#include "update/maintaskspecification.h"
#include "update/tomcryptutil.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {
// The largest banner image we accept, announced or not.
constexpr qint64 MaxBannerSize = 270000;

int tickInterval = 1000;
}

UpdateEngine::UpdateEngine(Configuration& configuration, QObject* parent)
    : QObject(parent)
    , configuration(configuration)
{
    connect(&configuration, &Configuration::message, this, &UpdateEngine::message);

    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &UpdateEngine::onTimer);

    networkManager = new HttpAccessManager(this);
    // A redirect is an answer other than 200 for the downloads, never followed.
    networkManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);

    configuration.getProxyAndDownloadConcurrency();
    applyProxySetting();
}

void UpdateEngine::applyProxySetting()
{
    networkManager->setSpeedFloor(configuration.minimumSpeed, configuration.minimumSpeedSeconds);
    QNetworkProxy proxy;
    if (HttpAccessManager::proxyFromSetting(configuration.proxyUrl, proxy)) {
        networkManager->setProxy(proxy);
        return;
    }
    // Nobody listens yet: the window connects after constructing the engine. Report it once
    // the event loop runs; the update goes on without a proxy.
    const QString report = QStringLiteral("'%1' is an invalid proxy specification").arg(configuration.proxyUrl);
    QTimer::singleShot(0, this, [this, report] { Q_EMIT error(report); });
}

bool UpdateEngine::initialize()
{
    try {
        crypt_init();
    } catch (const crypt_exception& e) {
        Q_EMIT fatalError(QString::fromLocal8Bit(e.what()));
        return false;
    }
    const QString root = Configuration::getAppRootPath();
    if (!QFile::exists(root + QStringLiteral("/mirrors.ini"))) {
        Q_EMIT fatalError(QStringLiteral("%1 is missing, cannot proceed.").arg(QStringLiteral("mirrors.ini")));
        return false;
    }
    qsrandCompat(quint32(QDateTime::currentSecsSinceEpoch()));

    QString reuseDir;
    int recordedVersion = 0;
    QString recordedDir;
    if (UpdateIniData::get(&recordedVersion, nullptr, &recordedDir)) {
        if (recordedVersion == configuration.clientVersion) {
            Q_EMIT message(QStringLiteral("Previous update session for v. %1 found").arg(recordedVersion));
            reuseDir = recordedDir;
        } else {
            Q_EMIT message(QStringLiteral("Cleanup previous session (v. %1, %2) files...")
                               .arg(recordedVersion)
                               .arg(recordedDir));
            removeSessionDirectory(recordedDir, true);
            UpdateIniData::cleanup();
        }
    }

    if (!configuration.initalizeStart(reuseDir))
        return false;
    UpdateIniData::modify(configuration.clientVersion, configuration.tempDir, configuration.clientType);

    if (mirrors)
        mirrors->deleteLater();
    mirrors = new Mirrors(this);
    connect(mirrors, &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(mirrors, &Mirrors::message, this, &UpdateEngine::message);
    const bool loaded = configuration.channel == Alpha
        ? mirrors->initAlpha(Configuration::updateIniPath(), configuration.clientVersion)
        : mirrors->initDefault(root + QStringLiteral("/mirrors.ini"), configuration.clientVersion);
    if (!loaded)
        return false;
    state = Initialized;
    return true;
}

bool UpdateEngine::startUpdate()
{
    mainTask = new MainTaskSpecification(networkManager, mirrors, &configuration, this, 1.0);
    connect(mainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(mainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(mainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(mainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(mainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    state = Running;
    timer->start(tickInterval);
    mainTask->execute();
    return true;
}

void UpdateEngine::onTaskFinished()
{
    timer->stop();
    lastOutcome = ExitSuccess;
    cleanup();
    UpdateIniData::setInstalled(configuration.clientVersion, configuration.versionLabel);
    state = Finished;
    Q_EMIT message(QStringLiteral("Update successfully finished"));
    dropMainTask();
    Q_EMIT downloadProgress(0, 0, 0, false);
    Q_EMIT updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    timer->stop();
    state = Canceled;
    lastOutcome = mainTask ? outcomeOf(*mainTask) : ExitCancelled;
    if (lastOutcome == ExitDownload && mirrors && mirrors->loadedNone())
        lastOutcome = ExitConfiguration;
    if (mainTask && mainTask->getState() == StateUserCanceled)
        Q_EMIT message(QStringLiteral("User aborted update"));
    dropMainTask();
    Q_EMIT downloadProgress(0, 0, 0, false);
    Q_EMIT updateCanceled();
}

ExitCode UpdateEngine::outcomeOf(const MainTaskSpecification& task)
{
    if (task.getState() == StateUserCanceled)
        return ExitCancelled;
    switch (task.failure()) {
    case MainTaskSpecification::NoFailure:
        return ExitSuccess;
    case MainTaskSpecification::DownloadFailed:
        return ExitDownload;
    case MainTaskSpecification::DescriptionRefused:
        return ExitUntrusted;
    case MainTaskSpecification::StorageShort:
        return ExitStorage;
    case MainTaskSpecification::InstallFailed:
        break;
    }
    return ExitInstall;
}

void UpdateEngine::reset()
{
    state = Idle;
    dropMainTask();
}

// The root task may be the sender of the signal being handled: deleted later, never now.
void UpdateEngine::dropMainTask()
{
    if (!mainTask)
        return;
    disconnect(mainTask, nullptr, this, nullptr);
    mainTask->deleteLater();
    mainTask = nullptr;
}

void UpdateEngine::cleanup()
{
    Q_EMIT message(QStringLiteral("Remove temporary files..."));
    QString dir;
    if (UpdateIniData::get(nullptr, nullptr, &dir)) {
        removeSessionDirectory(dir, false);
        UpdateIniData::cleanup();
    }
    Q_EMIT message(QStringLiteral("Temporary files removed."));
}

void UpdateEngine::removeSessionDirectory(const QString& directory, bool report)
{
    cleanupDirectory(directory);
    QDir parent(directory);
    if (!parent.cdUp())
        return;
    const bool removed = parent.rmdir(QFileInfo(directory).fileName());
    if (report)
        Q_EMIT message(removed ? QStringLiteral("Ok") : QStringLiteral("Failed to remove directory"));
}

bool UpdateEngine::busy() const
{
    return state == Initialized || state == Running;
}

void UpdateEngine::cancelUpdate()
{
    if (state == Running && mainTask)
        mainTask->userCanceled();
}

void UpdateEngine::setTickInterval(int milliseconds)
{
    if (milliseconds > 0)
        tickInterval = milliseconds;
}

void UpdateEngine::onTimer()
{
    if (state != Running || !mainTask)
        return;
    quint64 downloadDone = 0;
    quint64 downloadTotal = 0;
    quint64 speed = 0;
    bool downloading = false;
    mainTask->timeTick(downloadDone, downloadTotal, speed, downloading);
    Q_EMIT downloadProgress(downloadDone, downloadTotal, speed, downloading);
}

void UpdateEngine::cleanupDirectory(const QString& directory)
{
    const QDir dir(directory);
    const QDir::Filters common = QDir::Hidden | QDir::System | QDir::NoDotAndDotDot | QDir::NoSymLinks;
    const QStringList files = dir.entryList(QDir::Files | common);
    for (const QString& file : files)
        QFile::remove(dir.filePath(file));
    const QStringList subdirectories = dir.entryList(QDir::Dirs | common);
    for (const QString& subdirectory : subdirectories) {
        cleanupDirectory(dir.filePath(subdirectory));
        dir.rmdir(subdirectory);
    }
}

void UpdateEngine::removeOldFiles(const QString& directory)
{
    const QString& prefix = Configuration::getSpecialFileRenamePrefix();
    const QStringList names = Configuration::getSpecialFileNames();
    for (const QString& name : names) {
        // Without the file itself, the moved-aside copy is the only one left: a kill between
        // moving it aside and installing the new one must not cost the installation.
        const QString path = directory + QLatin1Char('/') + name;
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            QFile::remove(directory + QLatin1Char('/') + prefix + name);
    }
}

void UpdateEngine::getBanner()
{
    if (bannerReply)
        return;
    auto* banner = new Banner(this);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->run();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    const QUrl url(bannerUrl);
    if (!url.isValid() || bannerReply)
        return;
    bannerClickUrl = clickUrl;
    bannerReply = networkManager->get(QNetworkRequest(url));
    connect(bannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(bannerReply, &QNetworkReply::metaDataChanged, this, &UpdateEngine::onBannermetaDataChanged);
    // A server that announces no size is held to the same limit as one that does.
    connect(bannerReply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        if (received > MaxBannerSize)
            dropBannerReply();
    });
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!bannerReply)
        return;
    const QVariant length = bannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > MaxBannerSize)
        dropBannerReply();
}

void UpdateEngine::onBannerDownloadFinished()
{
    if (!bannerReply)
        return;
    const QByteArray image = bannerReply->readAll();
    bannerReply->deleteLater();
    bannerReply = nullptr;
    Q_EMIT bannerFound(image, bannerClickUrl);
}

void UpdateEngine::dropBannerReply()
{
    disconnect(bannerReply, nullptr, this, nullptr);
    bannerReply->abort();
    bannerReply->deleteLater();
    bannerReply = nullptr;
}

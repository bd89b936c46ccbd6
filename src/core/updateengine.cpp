#include "core/updateengine.h"

#include "core/configuration.h"
#include "tasks/taskspecification.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

UpdateEngine::UpdateEngine(Configuration& configuration, QObject* parent)
    : QObject(parent)
    , configuration(configuration)
{
    connect(&configuration, &Configuration::message, this, &UpdateEngine::message);

    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &UpdateEngine::onTimer);

    networkManager = new QNetworkAccessManager(this);
    // A redirect is an answer other than 200 for the downloads, never followed.
    networkManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);

    configuration.getProxyAndDownloadConcurrency();
    applyProxySetting();
}

void UpdateEngine::applyProxySetting()
{
    const QString& text = configuration.proxyUrl;
    if (text.isEmpty()) {
        networkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    const QUrl url(text);
    // A URL without a host (such as "proxy:8080", read as a scheme and a path) would give a
    // proxy that no request can reach, so it counts as invalid too.
    if (url.isValid() && !url.host().isEmpty()) {
        networkManager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), url.port(3128)));
        return;
    }
    // Nobody listens yet: the window connects after constructing the engine. Report it once
    // the event loop runs; the update goes on with Qt's default proxy.
    const QString report = QStringLiteral("'%1' is an invalid proxy specification").arg(text);
    QTimer::singleShot(0, this, [this, report] { Q_EMIT error(report); });
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
    for (const QString& name : names)
        QFile::remove(directory + QLatin1Char('/') + prefix + name);
}

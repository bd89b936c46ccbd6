#include "update/inidownloadtaskspecification.h"

#include "core/configuration.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "update/checksignaturetaskspecification.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>

namespace {
constexpr double DownloadWeight = 0.3333;

int firstRetryDelayMs = 250;
int maxRetryDelayMs = 30000;

QByteArray fileHash(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (file.open(QIODevice::ReadOnly))
        hash.addData(&file);
    return hash.result();
}
}

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                                           Configuration* config, QObject* parent,
                                                           double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , manager(manager)
    , mirrors(mirrors)
    , config(config)
{
    backoff.setSingleShot(true);
    connect(&backoff, &QTimer::timeout, this, [this] {
        if (state == StateRunning && !cancelRequested)
            makeSubtasksAndStart();
    });
}

QString IniDownloadTaskSpecification::untrustedText(const QString& iniName)
{
    return QStringLiteral("The product ini %1 is not signed with the key this updater trusts: every mirror serves "
                          "the same file and signature, so another try cannot pass")
        .arg(iniName);
}

int IniDownloadTaskSpecification::retryDelayMs(int retry)
{
    qint64 delay = firstRetryDelayMs;
    for (int i = 1; i < retry && delay < maxRetryDelayMs; ++i)
        delay *= 2;
    return int(qMin<qint64>(delay, maxRetryDelayMs));
}

void IniDownloadTaskSpecification::setRetryDelay(int firstMs, int capMs)
{
    firstRetryDelayMs = qMax(0, firstMs);
    maxRetryDelayMs = qMax(firstRetryDelayMs, capMs);
}

void IniDownloadTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString iniName = config->clientType + QStringLiteral(".ini");
    const QString iniPath = config->tempDir + QLatin1Char('/') + iniName;
    const QString sigPath = iniPath + QStringLiteral(".sig");
    // Only the first attempt trusts what an interrupted update left behind.
    const bool reuse = retryCount <= 0;

    double checkWeight = 1.0;
    if (!reuse || !QFile::exists(iniPath)) {
        auto* download = new DownloadTaskSpecification(manager, mirrors, iniName, iniPath, -1, this, DownloadWeight);
        download->setAvoidedMirrors(avoid);
        addSubTask(download);
        checkWeight = 1.0 - DownloadWeight;
    }
    if (!reuse || !QFile::exists(sigPath)) {
        auto* download = new DownloadTaskSpecification(manager, mirrors, iniName + QStringLiteral(".sig"), sigPath,
                                                       -1, this, DownloadWeight);
        download->setAvoidedMirrors(avoid);
        addSubTask(download);
        checkWeight -= DownloadWeight;
    }
    auto* check = new CheckSignatureTaskSpecification(iniPath, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this, &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = StateRunning;
    executeSubTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    if (cancelRequested) {
        // The user cancelled while the check ran: a retry would start downloading again.
        userCancel();
        return;
    }
    const int failed = ++retryCount;
    if (failed > MaxRetries) {
        Q_EMIT message(QStringLiteral("Could not verify the product ini file. Aborting"));
        errorCancel();
        return;
    }

    // Finished downloads keep the name of the mirror that served them; an attempt on
    // files left by an interrupted update has none and says nothing about the mirrors.
    FailedPair* pair = nullptr;
    for (const TaskSpecification* task : getSubTasks()) {
        const auto* download = qobject_cast<const DownloadTaskSpecification*>(task);
        if (!download || download->getMirror().name.isEmpty())
            continue;
        if (!pair) {
            pair = &failedPairs[pairHash()];
            ++pair->failures;
        }
        const FTPSiteAccessData& site = download->getMirror();
        if (!pair->mirrors.contains(site.name)) {
            pair->mirrors.insert(site.name);
            pair->servedBy.append(QStringLiteral("%1 (%2)").arg(site.name, site.url));
        }
    }
    if (pair && pair->failures >= 2 && servedByWholePool(*pair)) {
        untrusted = true;
        Q_EMIT error(untrustedText(config->clientType + QStringLiteral(".ini")));
        QStringList servedBy = pair->servedBy;
        servedBy.sort();
        Q_EMIT message(QStringLiteral("Served by: %1").arg(servedBy.join(QStringLiteral(", "))));
        errorCancel();
        return;
    }
    if (pair)
        avoid = QStringList(pair->mirrors.cbegin(), pair->mirrors.cend());

    Q_EMIT message(QStringLiteral("Could not verify the product ini file. Retrying"));
    discardAttempt();
    setProgress(0.0);
    backoff.start(retryDelayMs(failed));
}

// A failed download ends this task through its own error; a refused product ini ends it
// while every download of the last attempt has finished.
bool IniDownloadTaskSpecification::signatureRefused() const
{
    if (state != StateErrorCanceled)
        return false;
    const QList<TaskSpecification*>& tasks = getSubTasks();
    return std::none_of(tasks.begin(), tasks.end(), [](TaskSpecification* task) {
        return qobject_cast<DownloadTaskSpecification*>(task) && task->getState() == StateErrorCanceled;
    });
}

QByteArray IniDownloadTaskSpecification::pairHash() const
{
    const QString iniPath = config->tempDir + QLatin1Char('/') + config->clientType + QStringLiteral(".ini");
    return fileHash(iniPath) + fileHash(iniPath + QStringLiteral(".sig"));
}

bool IniDownloadTaskSpecification::servedByWholePool(const FailedPair& pair) const
{
    if (!mirrors)
        return true;
    for (const FTPSiteAccessData& site : mirrors->getMirrorList()) {
        if (!pair.mirrors.contains(site.name))
            return false;
    }
    return true;
}

// Its check task can no longer reach this task.
void IniDownloadTaskSpecification::discardAttempt()
{
    // A discarded transfer gives its mirror slot back now, not when it is deleted later.
    for (TaskSpecification* task : getSubTasks()) {
        if (task->getState() == StateRunning)
            task->reset();
    }
    clearSubTasks();
}

void IniDownloadTaskSpecification::userCanceled()
{
    ComposedTaskSpecification::userCanceled();
    // Waiting for the next attempt, nothing runs that could end this task.
    if (state == StateRunning && backoff.isActive()) {
        backoff.stop();
        userCancel();
    }
}

void IniDownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    if (backoff.isActive()) {
        backoff.stop();
        errorCancel();
        return;
    }
    ComposedTaskSpecification::handleOtherTaskCancelled(other);
}

void IniDownloadTaskSpecification::reset()
{
    discardAttempt();
    backoff.stop();
    retryCount = 0;
    failedPairs.clear();
    avoid.clear();
    untrusted = false;
    TaskSpecification::reset();
}

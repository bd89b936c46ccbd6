#include "update/inidownloadtaskspecification.h"

#include "core/configuration.h"
#include "net/downloadtaskspecification.h"
#include "update/checksignaturetaskspecification.h"

#include <QFile>

#include <algorithm>

namespace {
constexpr double DownloadWeight = 0.3333;
}

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                                           Configuration* config, QObject* parent,
                                                           double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , manager(manager)
    , mirrors(mirrors)
    , config(config)
{
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
        addSubTask(new DownloadTaskSpecification(manager, mirrors, iniName, iniPath, -1, this, DownloadWeight));
        checkWeight = 1.0 - DownloadWeight;
    }
    if (!reuse || !QFile::exists(sigPath)) {
        addSubTask(new DownloadTaskSpecification(manager, mirrors, iniName + QStringLiteral(".sig"), sigPath, -1,
                                                 this, DownloadWeight));
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
    Q_EMIT message(QStringLiteral("Could not verify the product ini file. Retrying"));
    // Discards the failed attempt; its check task can no longer reach this task.
    reset();
    retryCount = failed;
    makeSubtasksAndStart();
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

void IniDownloadTaskSpecification::reset()
{
    // A discarded transfer gives its mirror slot back now, not when it is deleted later.
    for (TaskSpecification* task : getSubTasks()) {
        if (task->getState() == StateRunning)
            task->reset();
    }
    clearSubTasks();
    retryCount = 0;
    TaskSpecification::reset();
}

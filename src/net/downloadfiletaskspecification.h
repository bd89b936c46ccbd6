#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/filespecifications.h"

#include <memory>

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class FilePreparer;
class Mirrors;
class QNetworkAccessManager;

// Fetches one file of the update into the working directory and checks its MD5 sum.
// A failed check drops the mirror that served the file and starts a fresh attempt on
// another; the attempts end when the pool runs empty.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // Manager, pool and configuration are not owned.
    DownloadFileTaskSpecification(const FileDownloadSpecification& item, QNetworkAccessManager* manager,
                                  Mirrors* mirrors, Configuration* configuration, QObject* parent,
                                  double parentProgressRange);

    void execute() override;
    // Drops the current attempt (a transfer in flight gives its mirror back) and returns
    // to idle, ready to start afresh.
    void reset() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override;

    const FileDownloadSpecification& getItem() const { return item; }
    // Handed on to the first transfer; see DownloadTaskSpecification::setPreparedFile.
    void setPreparedFile(std::shared_ptr<FilePreparer> preparer, int index);

protected:
    // Once the file is in, the transfer and its check are let go and only their figures are
    // kept: an update of many files would otherwise hold every finished transfer.
    void subtasksDone() override;

private Q_SLOTS:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    void makeSubtasksAndStart();

    FileDownloadSpecification item;
    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* configuration;
    DownloadTaskSpecification* downloadTask = nullptr;
    std::shared_ptr<FilePreparer> preparer;
    int preparedIndex = -1;
    // The figures of the finished subtasks, as they would report them; the speed only once.
    bool released = false;
    quint64 releasedDone = 0;
    quint64 releasedTotal = 0;
    quint64 releasedSpeed = 0;
};

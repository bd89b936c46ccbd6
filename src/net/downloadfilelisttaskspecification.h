#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/filespecifications.h"

#include <QList>

#include <memory>

class Configuration;
class FilePreparer;
class Mirrors;
class QNetworkAccessManager;

// Downloads every file of the update into the working directory, each verified by its
// MD5 sum, up to downloadStreams at a time (and no more than the pool has mirrors).
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // The list is read when the task starts, so it may be filled after construction.
    // Nothing given here is owned.
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification>* downloadList, QNetworkAccessManager* manager,
                                      Mirrors* mirrors, Configuration* configuration, QObject* parent,
                                      double parentProgressRange);

    void execute() override;
    void reset() override;
    // downloadTotal is the size of the whole list, including files not started yet.
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override;

    qint64 getTotalSize() const { return totalSize; }

protected:
    // The files made ahead for transfers that will not run are removed now. Once every file
    // is in, the file tasks are let go and only their figures are kept: the install that
    // follows would otherwise run beside thousands of finished downloads.
    void subtasksDone() override;
    TaskSpecification* makeSubTask(int index) override;

private:
    bool makeSubDirs();
    void makeSubtasksAndStart();

    QList<FileDownloadSpecification>* downloadList;
    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* configuration;
    qint64 totalSize = 0;
    std::shared_ptr<FilePreparer> preparer;
    double fileWeight = 0.0;
    int preparedIndex = 0;
    // The figures of the finished file tasks, as they would report them; the speed only once.
    bool released = false;
    quint64 releasedDone = 0;
    quint64 releasedSpeed = 0;
};

#pragma once

#include "tasks/composedtaskspecification.h"
#include "tasks/rollbackdata.h"
#include "update/filespecifications.h"

#include <QList>
#include <QString>

class Configuration;

// Installs every file of the replace list: first the missing directories, then the
// files, two at a time. Every change goes into one journal for the whole phase, which is
// undone if anything fails or the user cancels, so the installation is either fully
// updated or left as it was.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // The lists and the configuration are not owned; the lists are read when the task
    // starts, and the file tasks append the moved-aside versions to deleteList.
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification>* replaceList, QList<QString>* deleteList,
                                     Configuration* configuration, QObject* parent, double parentProgressRange);

    void execute() override;
    // Undoes whatever the phase journal still holds.
    void reset() override;

protected:
    void subtasksDone() override;
    TaskSpecification* makeSubTask(int index) override;

private:
    void makeSubtasksAndStart();
    int makeSubdirTasks();
    void makeFileReplaceTasks(bool hasSubdirTasks);

    QList<FileReplaceSpecification>* replaceList;
    QList<QString>* deleteList;
    RollbackDataList ownJournal;
    Configuration* configuration;
    double fileWeight = 0.0;
};

#include "update/maintaskspecification.h"

#include "net/downloadfilelisttaskspecification.h"
#include "tasks/filedeletelisttaskspecification.h"
#include "update/filereplacelisttaskspecification.h"
#include "update/inidownloadtaskspecification.h"
#include "update/makedownloadreplacelisttaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                             Configuration* configuration, QObject* parent,
                                             double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
{
}

void MainTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("Starting update process"));
    makeSubtasksAndStart();
}

// All five phases exist before the first runs; the later ones are handed the lists, not
// their contents, because the lists are filled only by the second phase.
void MainTaskSpecification::makeSubtasksAndStart()
{
    addSubTask(new IniDownloadTaskSpecification(manager, mirrors, configuration, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(configuration, fileSpecifications, this, 0.05));
    addSubTask(new DownloadFileListTaskSpecification(&fileSpecifications.downloadList, manager, mirrors,
                                                     configuration, this, 0.4));
    addSubTask(new FileReplaceListTaskSpecification(&fileSpecifications.replaceList, &fileSpecifications.deleteList,
                                                    configuration, this, 0.4));
    addSubTask(new FileDeleteListTaskSpecification(&fileSpecifications.deleteList, this, 0.05));
    state = StateRunning;
    executeSubTasks();
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    fileSpecifications.clear();
    TaskSpecification::reset();
}

#pragma once

#include "tasks/composedtaskspecification.h"
#include "tasks/rollbackdata.h"
#include "update/filespecifications.h"

#include <QList>
#include <QString>

class Configuration;

// Installs one file: moves the installed version aside under its "_old_" name, copies or
// unpacks the download into place and checks an unpacked file's MD5. Its steps go into a
// journal of its own, undone at once on failure and handed to the phase journal on
// success, so that a later failure of another file undoes this one too.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // deleteList, phaseJournal and configuration are not owned.
    FileReplaceTaskSpecification(const FileReplaceSpecification& replaceItem, QList<QString>* deleteList,
                                 RollbackDataList* phaseJournal, Configuration* configuration, QObject* parent,
                                 double parentProgressRange);

    void execute() override;
    void reset() override;

    const FileReplaceSpecification& getReplaceItem() const { return replaceItem; }

    // A path relative to the installation root, made absolute. Even an absolute path from
    // the product ini stays below the root.
    static QString installedPath(const QString& relativePath);
    // Owner read/write/execute, everyone else read/execute, for executables and libraries:
    // names and suffixes known as such, and what the release marks executable.
    void makeSingleFileExecutable(const QString& path) const;

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();

    FileReplaceSpecification replaceItem;
    QList<QString>* deleteList;
    RollbackDataList* phaseJournal;
    RollbackDataList ownJournal;
    Configuration* configuration;
    bool movedAside = false;
};

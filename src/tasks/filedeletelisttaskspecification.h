#pragma once

#include "tasks/composedtaskspecification.h"

#include <QList>
#include <QString>

// Deletes a list of files below the installation root, one after another. Missing or
// undeletable files are skipped, so the task always finishes.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // The list is not owned and is read when the task starts.
    FileDeleteListTaskSpecification(QList<QString>* fileList, QObject* parent, double parentProgressRange);

    void execute() override;
    void reset() override;

private:
    void makeSubtasksAndStart();

    QList<QString>* fileList;
};

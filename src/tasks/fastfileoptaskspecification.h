#pragma once

#include "tasks/rollbackdata.h"
#include "tasks/taskspecification.h"

#include <QString>

// A file-system change quick enough for the GUI thread: done and ended inside
// execute(). It cannot be interrupted and reports no download figures.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    // rollbackList receives the undo entry; it may be null and is not owned.
    FastFileOpTaskSpecification(const QString& path, RollbackDataList* rollbackList, QObject* parent,
                                double parentProgressRange);

    void execute() override;

    const QString& getPath() const { return path; }

protected:
    // The operation; on failure it emits message with the reason and returns false.
    virtual bool doOp() = 0;
    void addRollbackOp(const RollbackData& entry);

    RollbackDataList* rollbackList;
    QString path;
};

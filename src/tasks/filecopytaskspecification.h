#pragma once

#include "tasks/slowfileopspecification.h"

class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& sourcePath, const QString& destPath,
                              QObject* parent, double parentProgressRange);

    // The source goes after the install (a downloaded copy): the destination may take over
    // its file instead of a copy of it.
    void setSourceDisposable(bool disposable) { sourceDisposable = disposable; }

    // A disposable source is linked right here, without the trip through the pool.
    void execute() override;

protected:
    ASyncFunc* createFunction() override;

private:
    bool sourceDisposable = false;
};

#pragma once

#include "tasks/asynctaskspecification.h"
#include "tasks/rollbackdata.h"

#include <QString>

// A file operation from a source to a destination that runs on the thread pool.
// On success the created destination is journalled; on failure errorMessage is logged,
// followed by the system's reason.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    // rollbackList may be null and is not owned.
    SlowFileOpSpecification(QString errorMessage, RollbackDataList* rollbackList, const QString& sourcePath,
                            const QString& destPath, QObject* parent, double parentProgressRange);

    const QString& getSourcePath() const { return sourcePath; }
    const QString& getDestPath() const { return destPath; }

    void execute() override;

protected:
    void connectDefaultSignals(ASyncFunc* func) override;
    // Logs errorMessage on failure, then the reason the operation gave, if any.
    void runDone(bool ok) override;

    RollbackDataList* rollbackList;
    QString sourcePath;
    QString destPath;
    QString errorMessage;
    QString failureReason;
};

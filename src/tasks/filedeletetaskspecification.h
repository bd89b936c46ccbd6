#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Deletes one file. A deletion cannot be undone, so nothing is journalled.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    // Without failOnError a missing or undeletable file is silently accepted.
    FileDeleteTaskSpecification(bool failOnError, const QString& path, QObject* parent,
                                double parentProgressRange);

protected:
    bool doOp() override;

private:
    bool failOnError;
};

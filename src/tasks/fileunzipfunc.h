#pragma once

#include "tasks/slowfileopfunc.h"

// Unpacks a gzip file to the destination; data that is not gzip passes through unchanged.
// Like the copy it never replaces an existing destination, and it removes its partial
// output on any failure.
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnzipFunc(const QString& sourcePath, const QString& destPath);

    bool run() override;

    bool unzipFile(const QString& dest, const QString& source);
};

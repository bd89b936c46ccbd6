#pragma once

#include "tasks/slowfileopfunc.h"

// Copies the source to the destination; never replaces an existing destination.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileCopyFunc(const QString& sourcePath, const QString& destPath);

    bool run() override;
};

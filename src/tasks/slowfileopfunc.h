#pragma once

#include "tasks/asyncfunc.h"

#include <QString>

// The pool-thread side of a slow file operation: copies of the two paths only.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& sourcePath, const QString& destPath);

protected:
    QString sourcePath;
    QString destPath;
};

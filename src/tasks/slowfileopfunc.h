#pragma once

#include "tasks/asyncfunc.h"

#include <QString>

// The pool-thread side of a slow file operation: copies of the two paths only.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& sourcePath, const QString& destPath);

    // The system's text for an errno value.
    static QString systemError(int error);

Q_SIGNALS:
    // Why run() is about to return false; emitted before the result.
    void failed(QString reason);

protected:
    QString sourcePath;
    QString destPath;
};

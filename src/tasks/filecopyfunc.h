#pragma once

#include "tasks/slowfileopfunc.h"

// Copies the source to the destination; never replaces an existing destination.
// A disposable source (a downloaded copy, deleted once the install is done) may instead give
// the destination its own file: a second name for the same bytes and mode, nothing copied.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileCopyFunc(const QString& sourcePath, const QString& destPath, bool sourceDisposable = false);

    bool run() override;

    enum class Link { Made, Refused, NotPossible };
    // The disposable source's file given the destination name: Refused when something is
    // there already, NotPossible when only a copy will do. One system call, cheap enough for
    // the GUI thread.
    static Link linkDisposable(const QString& sourcePath, const QString& destPath);

private:
    bool sourceDisposable;
};

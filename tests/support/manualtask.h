#pragma once

#include "tasks/taskspecification.h"

// A leaf task that the test ends by hand. It can refuse user cancels (like background
// work) or end user-cancelled at once, and it can fail on a sibling's cancellation
// notice (like a running download).
class ManualTask : public TaskSpecification
{
    Q_OBJECT

public:
    explicit ManualTask(QObject* parent = nullptr, double weight = 1.0)
        : TaskSpecification(parent, weight)
    {
    }

    bool interruptible = false;      // userCanceled() ends it user-cancelled at once
    bool failOnSiblingCancel = false; // handleOtherTaskCancelled() ends it failed
    int executeCount = 0;
    int siblingNotices = 0;
    quint64 tickDone = 0, tickTotal = 0, tickSpeed = 0;
    bool tickDownloading = false;

    void execute() override
    {
        ++executeCount;
        state = StateRunning;
    }

    void userCanceled() override
    {
        TaskSpecification::userCanceled();
        if (interruptible && state == StateRunning)
            userCancel();
    }

    void handleOtherTaskCancelled(TaskSpecification*) override
    {
        ++siblingNotices;
        if (failOnSiblingCancel)
            errorCancel();
    }

    void timeTick(quint64& done, quint64& total, quint64& speed, bool& downloading) override
    {
        done = tickDone;
        total = tickTotal;
        speed = tickSpeed;
        downloading = tickDownloading;
    }

    void doFinish() { finish(); }
    void doFail() { errorCancel(); }
    void doUserCancel() { userCancel(); }
    void doProgress(double fraction) { setProgress(fraction); }
};

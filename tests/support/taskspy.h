#pragma once

#include "tasks/taskspecification.h"

#include <QSignalSpy>
#include <QStringList>
#include <QTest>

// The first argument of every recorded signal as text: the lines a message spy saw.
inline QStringList texts(const QSignalSpy& spy)
{
    QStringList list;
    for (const QList<QVariant>& args : spy)
        list.append(args.at(0).toString());
    return list;
}

// Runs the event loop until the task has ended one way or another.
inline bool waitForEnd(const TaskSpecification& task, int timeoutMs = 20000)
{
    return QTest::qWaitFor([&] { return task.getState() > StateRunning; }, timeoutMs);
}

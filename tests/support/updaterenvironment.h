#pragma once

#include <QProcessEnvironment>
#include <QString>

// The environment of the real updater in a process test: no proxy from the caller's
// environment, offscreen, TMPDIR inside the test, the banner query to a port where nobody
// answers, boxes that answer themselves, the log on stderr and no delay before the start.
QProcessEnvironment unattendedUpdaterEnvironment(const QString& tmp, quint16 silentUdpPort);

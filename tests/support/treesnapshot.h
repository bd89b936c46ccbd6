#pragma once

#include <QString>
#include <QStringList>

// A sorted description of everything below root, one line per entry: its relative path,
// its kind, its permission bits and, for a file, the MD5 of its content. Two snapshots
// compare equal only if paths, contents and modes all match; QCOMPARE on the lists
// shows the first line that differs.
QStringList snapshotTree(const QString& root);
// The same without permission bits: paths, kinds and contents only.
QStringList snapshotContents(const QString& root);

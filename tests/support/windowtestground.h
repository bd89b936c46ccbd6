#pragma once

#include <QString>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <memory>

// What a test of the real window in this process stands on: TMPDIR in a directory of its own
// (download directories, the instance guard's socket), the banner query the window sends when
// it is built going to a silent local socket, and an empty installation root per test.
class WindowTestGround
{
public:
    // From initTestCase; false when the directory or the socket cannot be had.
    bool prepare();
    // A new empty installation root, made the configuration's; false when it cannot be made.
    bool newRoot();
    void dropRoot();
    QString rootFile(const QString& name) const { return root->filePath(name); }

private:
    QTemporaryDir tmp;
    QUdpSocket bannerSink;
    std::unique_ptr<QTemporaryDir> root;
};

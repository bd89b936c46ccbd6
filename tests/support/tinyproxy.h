#pragma once

#include <QProcess>
#include <QString>

// tinyproxy as a child process on a free loopback port, logging into a test's folder.
// Stopped when destroyed.
struct TinyProxy
{
    QProcess process;
    QString log;
    quint16 port = 0;

    static bool available();
    bool start(const QString& dir);
    // Requests the proxy forwarded, as its log tells.
    int forwarded() const;
    ~TinyProxy();
};

#pragma once

#include <QProcess>
#include <QString>

// The reference update server (tools/quorvel-update-server) as a child process on
// 127.0.0.1 with ports chosen by the system.
class ReferenceServer
{
public:
    // program: another build of the server, e.g. an installed one.
    explicit ReferenceServer(const QString& program = executablePath());
    ~ReferenceServer();

    static QString executablePath();

    // Starts it with the configuration file; false when it did not report its ports.
    // extraArgs: more options, e.g. {"--query-log", "errors"}.
    bool start(const QString& configPath, const QString& bindAddress = QStringLiteral("127.0.0.1"),
               const QStringList& extraArgs = {});
    void stop();

    quint16 versionPort() const { return versionPortNumber; }
    quint16 bannerPort() const { return bannerPortNumber; }
    // "127.0.0.1:<versionPort>:<bannerPort>", the form of QUORVEL_UPDATE_SERVER_ADDRESS.
    QString address() const;
    // Everything it printed on stdout so far.
    QString output();
    QProcess& process() { return server; }

private:
    QString program;
    QProcess server;
    QString collected;
    quint16 versionPortNumber = 0;
    quint16 bannerPortNumber = 0;
};

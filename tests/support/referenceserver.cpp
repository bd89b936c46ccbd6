#include "support/referenceserver.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

ReferenceServer::ReferenceServer(const QString& program)
    : program(program)
{
}

ReferenceServer::~ReferenceServer()
{
    stop();
}

QString ReferenceServer::executablePath()
{
    return QStringLiteral(QUORVEL_BINARY_DIR "/tools/quorvel-update-server/quorvel-update-server");
}

bool ReferenceServer::start(const QString& configPath, const QString& bindAddress, const QStringList& extraArgs)
{
    server.start(program, QStringList{QStringLiteral("--config"), configPath, QStringLiteral("--address"), bindAddress,
                                      QStringLiteral("--version-port"), QStringLiteral("0"),
                                      QStringLiteral("--banner-port"), QStringLiteral("0")}
                              + extraArgs);
    if (!server.waitForStarted(5000))
        return false;
    static const QRegularExpression listening(
        QStringLiteral("^listening \\S+ version-port (\\d+) banner-port (\\d+)$"), QRegularExpression::MultilineOption);
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        const QRegularExpressionMatch match = listening.match(output());
        if (match.hasMatch()) {
            versionPortNumber = static_cast<quint16>(match.captured(1).toUInt());
            bannerPortNumber = static_cast<quint16>(match.captured(2).toUInt());
            return true;
        }
        if (server.state() == QProcess::NotRunning)
            return false;
        server.waitForReadyRead(100);
    }
    return false;
}

void ReferenceServer::stop()
{
    if (server.state() == QProcess::NotRunning)
        return;
    server.terminate();
    if (!server.waitForFinished(3000)) {
        server.kill();
        server.waitForFinished(3000);
    }
}

QString ReferenceServer::address() const
{
    return QStringLiteral("127.0.0.1:%1:%2").arg(versionPortNumber).arg(bannerPortNumber);
}

QString ReferenceServer::output()
{
    collected += QString::fromUtf8(server.readAllStandardOutput());
    return collected;
}

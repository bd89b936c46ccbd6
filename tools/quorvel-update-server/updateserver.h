#pragma once

#include "serverconfig.h"

#include <QHostAddress>
#include <QObject>

class LogWriter;
class QUdpSocket;

// Answers the updater's queries: "3\0" (version list) and "*\0" (news) on the version port,
// 0x01 0x01 (banner) on the banner port. Logs one line per request.
class UpdateServer : public QObject
{
    Q_OBJECT

public:
    UpdateServer(const ServerConfig& config, LogWriter& log, QObject* parent = nullptr);

    // Binds both sockets; false with a one-line reason in errorText.
    bool bind(const QHostAddress& address, quint16 versionPort, quint16 bannerPort, QString& errorText);
    quint16 versionPort() const;
    quint16 bannerPort() const;
    // What later requests are answered with.
    void setConfig(const ServerConfig& newConfig) { config = newConfig; }

private:
    void serve(QUdpSocket* socket);
    QByteArray replyFor(QUdpSocket* socket, const QByteArray& request, QString& kind) const;

    ServerConfig config;
    LogWriter& log;
    QUdpSocket* versionSocket;
    QUdpSocket* bannerSocket;
};

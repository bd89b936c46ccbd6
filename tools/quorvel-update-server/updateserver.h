#pragma once

#include "serverconfig.h"

#include <QHostAddress>
#include <QObject>

class LogWriter;
class QNetworkDatagram;
class QUdpSocket;

// Which queries get a line in the log. At full load a line per query is megabytes a second.
struct QueryLog
{
    enum Mode {
        Every,     // every query
        Decisions, // only errors (unknown requests, failed sends) and staged rollout answers
        Sampled    // one query in `interval`, whatever it was
    };
    Mode mode = Every;
    int interval = 1;

    // "all", "errors" or "1/N" (N from 1 to 1000000); false for anything else.
    static bool parse(const QString& text, QueryLog& result);
    // "every query", "errors and rollout decisions", "one query in 100".
    QString describe() const;
};

// Answers the updater's queries: "3\0" (version list) and "*\0" (news) on the version port,
// 0x01 0x01 (banner) on the banner port. Logs the requests its QueryLog asks for.
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
    void setQueryLog(const QueryLog& setting) { queryLog = setting; }

private:
    struct Answer
    {
        QByteArray reply; // null: no answer
        QString kind;
        int newVersionMask = -1; // of a version list
        bool unknown = false;
    };

    void serve(QUdpSocket* socket);
    Answer answerFor(QUdpSocket* socket, const QNetworkDatagram& request) const;
    bool wantsLine(const Answer& answer, bool sendFailed);
    void logLine(const QNetworkDatagram& request, const Answer& answer, const QString& outcome);

    ServerConfig config;
    QueryLog queryLog;
    quint64 queryCount = 0;
    LogWriter& log;
    QUdpSocket* versionSocket;
    QUdpSocket* bannerSocket;
};

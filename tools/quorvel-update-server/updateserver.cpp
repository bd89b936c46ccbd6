#include "updateserver.h"

#include "logwriter.h"

#include <QDateTime>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QUdpSocket>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {
// Of an unknown request only this much reaches the log: the log must not grow faster
// than the traffic of whoever sends junk.
constexpr qsizetype loggedRequestBytes = 16;

// Sends reply from the address the request was sent to, so a server bound to all addresses
// of a multi-homed host passes the updater's check of the sender. For IPv4, Qt 6.4 puts
// that address into ipi_addr beside the interface index, and Linux then sends from the
// interface's first address; the source belongs in ipi_spec_dst with no index.
qint64 sendReply(QUdpSocket* socket, const QNetworkDatagram& request, const QByteArray& reply, QString& errorText)
{
    const QHostAddress local = request.destinationAddress();
    if (local.protocol() != QAbstractSocket::IPv4Protocol
        || request.senderAddress().protocol() != QAbstractSocket::IPv4Protocol) {
        const qint64 sent = socket->writeDatagram(request.makeReply(reply));
        if (sent < 0)
            errorText = socket->errorString();
        return sent;
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(quint16(request.senderPort()));
    to.sin_addr.s_addr = htonl(request.senderAddress().toIPv4Address());
    iovec data = {const_cast<char*>(reply.constData()), size_t(reply.size())};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message = {};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info = {};
    info.ipi_spec_dst.s_addr = htonl(local.toIPv4Address());
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
    const ssize_t sent = ::sendmsg(int(socket->socketDescriptor()), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0)
        errorText = QString::fromLocal8Bit(std::strerror(errno));
    return sent;
}
}

UpdateServer::UpdateServer(const ServerConfig& config, LogWriter& log, QObject* parent)
    : QObject(parent)
    , config(config)
    , log(log)
    , versionSocket(new QUdpSocket(this))
    , bannerSocket(new QUdpSocket(this))
{
    connect(versionSocket, &QUdpSocket::readyRead, this, [this] { serve(versionSocket); });
    connect(bannerSocket, &QUdpSocket::readyRead, this, [this] { serve(bannerSocket); });
}

bool UpdateServer::bind(const QHostAddress& address, quint16 versionPort, quint16 bannerPort, QString& errorText)
{
    if (!versionSocket->bind(address, versionPort)) {
        errorText = QStringLiteral("cannot bind the version port %1 on %2: %3")
                        .arg(versionPort)
                        .arg(address.toString(), versionSocket->errorString());
        return false;
    }
    if (!bannerSocket->bind(address, bannerPort)) {
        errorText = QStringLiteral("cannot bind the banner port %1 on %2: %3")
                        .arg(bannerPort)
                        .arg(address.toString(), bannerSocket->errorString());
        return false;
    }
    return true;
}

quint16 UpdateServer::versionPort() const
{
    return versionSocket->localPort();
}

quint16 UpdateServer::bannerPort() const
{
    return bannerSocket->localPort();
}

void UpdateServer::serve(QUdpSocket* socket)
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram request = socket->receiveDatagram();
        if (!request.isValid())
            continue;
        const Answer answer = answerFor(socket, request);
        QString errorText;
        const qint64 sent = answer.reply.isNull() ? 0 : sendReply(socket, request, answer.reply, errorText);
        if (!wantsLine(answer, sent < 0))
            continue;
        logLine(request, answer,
                answer.reply.isNull() ? QStringLiteral("no reply")
                : sent < 0            ? QStringLiteral("send failed: %1").arg(errorText)
                                      : QStringLiteral("%1 bytes").arg(sent));
    }
}

bool UpdateServer::wantsLine(const Answer& answer, bool sendFailed)
{
    ++queryCount;
    switch (queryLog.mode) {
    case QueryLog::Every:
        return true;
    case QueryLog::Decisions:
        return answer.unknown || sendFailed
               || (answer.newVersionMask >= 0 && config.splitsAddresses());
    case QueryLog::Sampled:
        return queryCount % quint64(queryLog.interval) == 0;
    }
    return true;
}

void UpdateServer::logLine(const QNetworkDatagram& request, const Answer& answer, const QString& outcome)
{
    QString line = QStringLiteral("%1 %2:%3 %4 %5")
                       .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs),
                            request.senderAddress().toString())
                       .arg(request.senderPort())
                       .arg(answer.kind, outcome);
    const QString decisions = answer.newVersionMask >= 0 ? config.decisions(answer.newVersionMask) : QString();
    if (!decisions.isEmpty())
        line += QStringLiteral(" (%1)").arg(decisions);
    log.writeLine(line.toUtf8());
}

UpdateServer::Answer UpdateServer::answerFor(QUdpSocket* socket, const QNetworkDatagram& request) const
{
    const QByteArray data = request.data();
    Answer answer;
    if (socket == versionSocket && data == QByteArray("3\0", 2)) {
        answer.kind = QStringLiteral("version-list");
        answer.newVersionMask = config.newVersionMask(request.senderAddress());
        const QByteArray& list = config.versionLists[answer.newVersionMask];
        answer.reply = list.isNull() ? QByteArray("") : list;
    } else if (socket == versionSocket && data == QByteArray("*\0", 2)) {
        answer.kind = QStringLiteral("news");
        answer.reply = config.news.isNull() ? QByteArray("") : config.news;
    } else if (socket == bannerSocket && data == QByteArray("\x01\x01", 2)) {
        answer.kind = QStringLiteral("banner");
        answer.reply = config.banner.isEmpty() ? QByteArray() : config.banner;
    } else {
        answer.unknown = true;
        answer.kind = data.size() <= loggedRequestBytes
                          ? QStringLiteral("unknown(%1)").arg(QString::fromLatin1(data.toHex()))
                          : QStringLiteral("unknown(%1... %2 bytes)")
                                .arg(QString::fromLatin1(data.left(loggedRequestBytes).toHex()))
                                .arg(data.size());
    }
    return answer;
}

bool QueryLog::parse(const QString& text, QueryLog& result)
{
    if (text == QLatin1String("all")) {
        result = QueryLog();
        return true;
    }
    if (text == QLatin1String("errors")) {
        result = QueryLog{Decisions, 1};
        return true;
    }
    static const QRegularExpression oneIn(QStringLiteral("^1/([1-9][0-9]{0,6})$"));
    const QRegularExpressionMatch match = oneIn.match(text);
    const int interval = match.hasMatch() ? match.captured(1).toInt() : 0;
    if (interval < 1 || interval > 1000000)
        return false;
    result = QueryLog{Sampled, interval};
    return true;
}

QString QueryLog::describe() const
{
    switch (mode) {
    case Every:
        return QStringLiteral("every query");
    case Decisions:
        return QStringLiteral("errors and rollout decisions");
    case Sampled:
        return QStringLiteral("one query in %1").arg(interval);
    }
    return QString();
}

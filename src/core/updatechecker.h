#pragma once

#include "core/configuration.h"

#include <QList>
#include <QPair>
#include <QString>

// The latest-version query: two blocking UDP exchanges with the update server, one for the
// version list of all channels and one for the news text. One object serves a query and
// its retries; it holds no socket between calls.
class UpdateChecker
{
public:
    static constexpr int defaultReceiveTimeoutMs = 5000;

    // Asks the server named by UpdateServerAddress::current().
    UpdateChecker();
    // Asks host:port, waiting at most receiveTimeoutMs for each reply.
    UpdateChecker(const QString& host, quint16 port, int receiveTimeoutMs = defaultReceiveTimeoutMs);

    bool checkUpdate();
    bool readFromServer();
    QPair<QString, QString> getClientVersionByChannel(UpdateChannel channel) const;

    // Test seam: the receive time-out of checkers made by the default constructor.
    // 0 restores the default.
    static void setDefaultReceiveTimeout(int milliseconds);

    // Appends the entries of one version-list reply to versions.
    void appendVersions(const QString& list);

    QList<QPair<QString, QString>> versions;
    QString news;

private:
    QString host;
    quint16 port;
    int receiveTimeoutMs;
};

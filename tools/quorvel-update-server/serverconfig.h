#pragma once

#include <QByteArray>
#include <QString>

class QHostAddress;

// What the server announces, read from its configuration file (format in README.md).
// The replies are prepared once, as the bytes that go on the wire.
struct ServerConfig
{
    static constexpr int ChannelCount = 3; // stable, beta, alpha

    // One channel's entry of the version list. A staged rollout gives `entry` to `rollout`
    // percent of the client addresses and `previousEntry` to the others.
    struct Channel
    {
        QByteArray version;       // the announced build number; empty: nothing to install
        QByteArray entry;         // "version#label" or "version", as on the wire
        QByteArray previous;      // build number of the previous version; empty: none
        QByteArray previousEntry;
        int rollout = 100;

        bool isStaged() const { return rollout < 100; }
    };

    Channel channels[ChannelCount];
    // The version list for every combination of answers: bit c set when channel c gives its
    // new version. Index 7 (all new) is the list without any rollout.
    QByteArray versionLists[1 << ChannelCount];
    QByteArray news;
    // "imageUrl,clickUrl", or empty when no banner is configured.
    QByteArray banner;

    // False with a one-line reason in errorText when the file cannot be used.
    static bool load(const QString& path, ServerConfig& config, QString& errorText);

    // The bits of the channels that give this address their new version.
    int newVersionMask(const QHostAddress& address) const;
    // "stable 101 to 10% of addresses, 100 to the rest; beta 7 to all; alpha nothing".
    QString announcement() const;
    // True while some channel answers addresses differently (a rollout between 0 and 100).
    bool splitsAddresses() const;
    // The rollout decisions behind a mask, "stable: new 101, beta: previous 6"; empty when
    // no channel is staged.
    QString decisions(int mask) const;
};

// The address's cohort for a version, 0 to 99: the same for every query of that address
// while the version stays, drawn anew for another version.
int rolloutCohort(const QHostAddress& address, const QByteArray& version);

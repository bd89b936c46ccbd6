#pragma once

#include <QString>

// Where the update server's two UDP services are: the version query and the banner query.
// The build-time host and the fixed ports are the defaults. The environment variable
// QUORVEL_UPDATE_SERVER_ADDRESS="host:versionPort[:bannerPort]" overrides them, so a test or a
// demo can point the real program at a server on ports of its own.
struct UpdateServerAddress
{
    static constexpr quint16 defaultVersionPort = 17384;
    static constexpr quint16 defaultBannerPort = 2009;

    QString host;
    quint16 versionPort = defaultVersionPort;
    quint16 bannerPort = defaultBannerPort;

    // The defaults with the environment's override applied. A malformed override is
    // ignored with a warning.
    static UpdateServerAddress current();
    // Parses "host:versionPort[:bannerPort]"; false leaves result untouched.
    static bool parse(const QString& text, UpdateServerAddress& result);
};

#pragma once

#include <QByteArray>
#include <QString>

// What the server announces, read from its configuration file (format in README.md).
// The replies are prepared once, as the bytes that go on the wire.
struct ServerConfig
{
    // "v0#label0,v1#label1,v2#label2" for the stable, beta and alpha channels.
    QByteArray versionList;
    QByteArray news;
    // "imageUrl,clickUrl", or empty when no banner is configured.
    QByteArray banner;

    // False with a one-line reason in errorText when the file cannot be used.
    static bool load(const QString& path, ServerConfig& config, QString& errorText);
};

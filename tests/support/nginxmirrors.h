#pragma once

#include <QList>
#include <QProcess>
#include <QString>
#include <QUrl>

// nginx as the test's mirrors: one process serving one directory on several loopback ports,
// each a mirror, the last one over HTTPS when asked (with a certificate signed by a certificate
// authority that the test makes with OpenSSL). Stopped when destroyed.
class NginxMirrors
{
public:
    ~NginxMirrors();
    NginxMirrors() = default;
    NginxMirrors(const NginxMirrors&) = delete;
    NginxMirrors& operator=(const NginxMirrors&) = delete;

    static bool available();

    struct Options
    {
        int httpPorts = 1;
        bool https = false;
        // Paths ending with slowSuffix are sent at slowKiB per second (0: no limit).
        QString slowSuffix;
        int slowKiB = 0;
    };
    // root is served as it is; nginx keeps its own files (configuration, logs, keys) in work.
    bool start(const QString& root, const QString& work, const Options& options);
    void stop();

    // Base URLs, "http://127.0.0.1:<port>/" (and "https://127.0.0.1:<port>/" last).
    const QList<QUrl>& urls() const { return mirrorUrls; }
    // The test authority's certificate in PEM form; empty without HTTPS.
    QString caCertificate() const { return caPath; }
    // Requests with a status of 200 or 206 in the access log whose path ends with suffix.
    int servedCount(const QString& suffix) const;
    // Body bytes nginx sent for those requests, as its access log counts them.
    qint64 bodyBytesSent(const QString& suffix) const;
    QString errorText() const { return error; }

private:
    bool makeCertificates(const QString& work);
    struct Served
    {
        int count = 0;
        qint64 bytes = 0;
    };
    Served served(const QString& suffix) const;

    QProcess nginx;
    QList<QUrl> mirrorUrls;
    QString caPath;
    QString accessLog;
    QString error;
};

#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

class CurlMulti;
class QNetworkProxy;

// The engine's one network access manager. Every request it creates, HTTP or HTTPS, with or
// without a proxy, travels over libcurl, driven by the caller's event loop; callers see Qt's
// reply interface. It enforces what a mirror must not be trusted with: schemes other than
// http and https, followed redirects, endless headers, a connection that never opens, a
// transfer slower than a floor, a body longer than the caller expects.
class HttpAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    // Request attribute (qint64): the most body bytes the caller takes. One byte more ends
    // the transfer with UnknownContentError, before that byte reaches the caller. With a raw
    // header "Range: bytes=N-" it counts the bytes from N on; an answer other than 206, which
    // starts at the first byte, may then bring N bytes more.
    static constexpr QNetworkRequest::Attribute MaximumBodySizeAttribute = QNetworkRequest::Attribute(
        QNetworkRequest::User + 1);

    explicit HttpAccessManager(QObject* parent = nullptr);
    ~HttpAccessManager() override;

    // A transfer slower than bytesPerSecond over `seconds` fails with TimeoutError: a
    // trickle is never silent, so the download's stall rule alone would never end it.
    // 0 bytes per second switches the floor off.
    void setSpeedFloor(qint64 bytesPerSecond, int seconds);
    qint64 speedFloorBytesPerSecond() const { return floorBytesPerSecond; }
    int speedFloorSeconds() const { return floorSeconds; }
    void setConnectTimeout(int ms) { connectTimeoutMs = ms; }
    int connectTimeout() const { return connectTimeoutMs; }

    // The proxy that update.ini's "proxy" value names: none for an empty value, an HTTP
    // proxy (port 3128 unless given) for a URL with a host; false for anything else.
    static bool proxyFromSetting(const QString& text, QNetworkProxy& proxy);

    // Certificate authorities (PEM) trusted instead of the system's store, by every manager
    // of the process: for tests with mirrors whose certificates they make themselves.
    static void setExtraCaCertificates(const QByteArray& pem);

protected:
    QNetworkReply* createRequest(Operation op, const QNetworkRequest& request, QIODevice* outgoingData) override;

private:
    CurlMulti* multi;
    qint64 floorBytesPerSecond = 1024;
    int floorSeconds = 30;
    int connectTimeoutMs = 15000;
};

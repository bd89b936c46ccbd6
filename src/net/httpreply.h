#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QPointer>

#include <curl/curl.h>

class CurlMulti;

// What a transfer may cost and where it goes; the manager fills it in for every request.
struct TransferLimits
{
    QByteArray proxy;              // "" = no proxy at all, whatever the environment says
    qint64 maximumBodySize = -1;   // -1 = no limit
    qint64 floorBytesPerSecond = 0;
    int floorSeconds = 0;
    int connectTimeoutMs = 0;
    QByteArray caCertificates;     // PEM to trust instead of the built-in store; "" = the store
};

// One GET over libcurl. Behaves as Qt's replies do for a caller: metaDataChanged once the
// final response's headers are in (status in HttpStatusCodeAttribute), downloadProgress and
// readyRead as the body arrives, errorOccurred for a failed transfer or an HTTP status of 400
// and above, finished exactly once. A redirect is reported, never followed.
class HttpReply : public QNetworkReply
{
    Q_OBJECT

public:
    // A reply for anything but a GET fails at once, as does one libcurl cannot start.
    HttpReply(CurlMulti* multi, QNetworkAccessManager::Operation op, const QNetworkRequest& request,
              const TransferLimits& limits, QObject* parent);
    ~HttpReply() override;

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    friend class CurlMulti;

    void configure(const QNetworkRequest& request, const TransferLimits& limits);
    static size_t onBody(char* data, size_t size, size_t count, void* self);
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    // Called by the multi handle, outside libcurl's callbacks.
    void transferDone(CURLcode result);
    void deliver();
    bool takeMetaData();
    void complete();
    void fail(NetworkError code, const QString& text);
    void end();
    void detach();
    qint64 buffered() const { return body.size() - bodyPos; }

    QPointer<CurlMulti> multi;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    qint64 maximumBodySize = -1;
    qint64 rangeStart = 0;  // N of a "Range: bytes=N-" request
    qint64 bodyCap = -1;    // maximumBodySize, or N more for an answer that ignores the range
    qint64 headerBytes = 0;
    qint64 received = 0;
    qint64 total = -1;
    QByteArray body;
    qsizetype bodyPos = 0;

    // Noted inside libcurl's callbacks, acted on in deliver().
    bool queued = false;
    bool headersDone = false;
    bool metaDataPending = false;
    bool dataPending = false;
    bool donePending = false;
    bool paused = false;
    bool tooLong = false;
    bool tooManyHeaders = false;
    CURLcode result = CURLE_OK;

    bool ended = false;
};

#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <curl/curl.h>

class HttpReply;
class QSocketNotifier;

// Drives libcurl's multi interface from the thread's event loop: a socket notifier per
// socket that libcurl watches, one single-shot timer for its time-outs. libcurl calls back
// into replies while it runs; a reply only notes what happened there, and its signals go
// out from dispatch(), after libcurl has returned, so that a caller reacting to them (by
// deleting or aborting a reply, or starting another) never runs inside libcurl.
class CurlMulti : public QObject
{
    Q_OBJECT

public:
    explicit CurlMulti(QObject* parent = nullptr);
    ~CurlMulti() override;

    // An easy handle with no options set: one that an ended transfer gave back, else a new
    // one. Null when libcurl has no memory.
    CURL* takeEasy();
    // Takes back an easy handle that no transfer of this multi uses any more.
    void recycleEasy(CURL* easy);
    // Starts the reply's transfer; false when libcurl refuses the handle.
    bool add(HttpReply* reply);
    // Stops the reply's transfer, if it still runs; the connection goes with it.
    void remove(HttpReply* reply);
    // Lets a paused transfer go on, once the event loop runs again.
    void resumeLater(HttpReply* reply);
    // The reply has news for its caller: delivered by the next dispatch().
    void markDirty(HttpReply* reply);
    void dispatchLater();
    int runningCount() const { return int(attached.size()); }

private:
    struct Watch;

    static int onSocket(CURL* easy, curl_socket_t socket, int what, void* self, void* watch);
    static int onTimer(CURLM* multi, long timeoutMs, void* self);
    void watch(curl_socket_t socket, int what, Watch* existing);
    void act(curl_socket_t socket, int events);
    void collectDone();
    void dispatch();

    CURLM* multi;
    QTimer timer;
    QSet<HttpReply*> attached;
    QList<QPointer<HttpReply>> dirty;
    // Handles kept for the next transfers: an update of many small files would otherwise
    // allocate and free libcurl's state and receive buffer once per file.
    QList<CURL*> spareEasy;
    bool dispatchPosted = false;

    friend class HttpReply;
};

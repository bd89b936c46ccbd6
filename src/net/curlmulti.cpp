#include "net/curlmulti.h"

#include "net/httpreply.h"

#include <QSocketNotifier>

#include <mutex>

namespace {
// Connections kept open for reuse, across all servers.
constexpr long MaxCachedConnections = 32;
// Easy handles kept for reuse: about as many as transfers run at once.
constexpr qsizetype MaxSpareEasy = 16;
}

// The notifiers of one socket that libcurl watches.
struct CurlMulti::Watch
{
    QSocketNotifier* read;
    QSocketNotifier* write;
};

CurlMulti::CurlMulti(QObject* parent)
    : QObject(parent)
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &CurlMulti::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &CurlMulti::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, MaxCachedConnections);
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

CurlMulti::~CurlMulti()
{
    const QSet<HttpReply*> replies = std::exchange(attached, {});
    for (HttpReply* reply : replies) {
        curl_multi_remove_handle(multi, reply->easy);
        reply->multi = nullptr;
    }
    for (CURL* easy : std::as_const(spareEasy))
        curl_easy_cleanup(easy);
    // Closes the kept connections; libcurl says so through onSocket.
    curl_multi_cleanup(multi);
}

CURL* CurlMulti::takeEasy()
{
    return spareEasy.isEmpty() ? curl_easy_init() : spareEasy.takeLast();
}

void CurlMulti::recycleEasy(CURL* easy)
{
    if (spareEasy.size() >= MaxSpareEasy) {
        curl_easy_cleanup(easy);
        return;
    }
    // Every option back to its default; what a handle keeps beyond that is its buffers.
    curl_easy_reset(easy);
    spareEasy.append(easy);
}

bool CurlMulti::add(HttpReply* reply)
{
    if (curl_multi_add_handle(multi, reply->easy) != CURLM_OK)
        return false;
    attached.insert(reply);
    return true;
}

void CurlMulti::remove(HttpReply* reply)
{
    if (attached.remove(reply))
        curl_multi_remove_handle(multi, reply->easy);
}

void CurlMulti::resumeLater(HttpReply* reply)
{
    QMetaObject::invokeMethod(
        this,
        [this, r = QPointer<HttpReply>(reply)] {
            if (!r || !attached.contains(r.data()))
                return;
            // libcurl may hand over what it held back right here, to the write callback.
            curl_easy_pause(r->easy, CURLPAUSE_CONT);
            collectDone();
            dispatch();
        },
        Qt::QueuedConnection);
}

void CurlMulti::markDirty(HttpReply* reply)
{
    if (reply->queued)
        return;
    reply->queued = true;
    dirty.append(reply);
}

void CurlMulti::dispatchLater()
{
    if (dispatchPosted)
        return;
    dispatchPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            dispatchPosted = false;
            dispatch();
        },
        Qt::QueuedConnection);
}

int CurlMulti::onSocket(CURL*, curl_socket_t socket, int what, void* self, void* watch)
{
    static_cast<CurlMulti*>(self)->watch(socket, what, static_cast<Watch*>(watch));
    return 0;
}

int CurlMulti::onTimer(CURLM*, long timeoutMs, void* self)
{
    QTimer& timer = static_cast<CurlMulti*>(self)->timer;
    if (timeoutMs < 0)
        timer.stop();
    else
        timer.start(int(qMin(timeoutMs, long(INT_MAX))));
    return 0;
}

void CurlMulti::watch(curl_socket_t socket, int what, Watch* existing)
{
    if (what == CURL_POLL_REMOVE) {
        if (!existing)
            return;
        // Deferred: libcurl may be running inside one of these notifiers' signals.
        for (QSocketNotifier* notifier : {existing->read, existing->write}) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
        delete existing;
        curl_multi_assign(multi, socket, nullptr);
        return;
    }
    Watch* w = existing;
    if (!w) {
        w = new Watch{new QSocketNotifier(socket, QSocketNotifier::Read, this),
                      new QSocketNotifier(socket, QSocketNotifier::Write, this)};
        connect(w->read, &QSocketNotifier::activated, this, [this, socket] { act(socket, CURL_CSELECT_IN); });
        connect(w->write, &QSocketNotifier::activated, this, [this, socket] { act(socket, CURL_CSELECT_OUT); });
        curl_multi_assign(multi, socket, w);
    }
    w->read->setEnabled(what & CURL_POLL_IN);
    w->write->setEnabled(what & CURL_POLL_OUT);
}

void CurlMulti::act(curl_socket_t socket, int events)
{
    int running = 0;
    curl_multi_socket_action(multi, socket, events, &running);
    collectDone();
    dispatch();
}

void CurlMulti::collectDone()
{
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        HttpReply* reply = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &reply);
        const CURLcode result = msg->data.result;
        // Removed now, so that its connection is free for the next request at once.
        remove(reply);
        reply->transferDone(result);
    }
}

// A caller may react to a signal with a nested event loop (a message box); what arrives
// meanwhile is dispatched from there, so this runs nested too, each reply's news once.
void CurlMulti::dispatch()
{
    while (!dirty.isEmpty()) {
        const QList<QPointer<HttpReply>> replies = std::exchange(dirty, {});
        for (const QPointer<HttpReply>& reply : replies) {
            if (reply)
                reply->deliver();
        }
    }
}

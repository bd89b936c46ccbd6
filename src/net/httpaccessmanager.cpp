#include "net/httpaccessmanager.h"

#include "net/curlmulti.h"
#include "net/httpreply.h"

#include <QNetworkProxy>
#include <QUrl>

namespace {
// The authorities set for tests, in PEM; empty: the system's store.
QByteArray& caBundle()
{
    static QByteArray bundle;
    return bundle;
}

QByteArray proxyUrl(const QNetworkProxy& proxy)
{
    QUrl url;
    switch (proxy.type()) {
    case QNetworkProxy::HttpProxy:
    case QNetworkProxy::HttpCachingProxy:
        url.setScheme(QStringLiteral("http"));
        break;
    case QNetworkProxy::Socks5Proxy:
        url.setScheme(QStringLiteral("socks5h"));
        break;
    default:
        // Also for Qt's default proxy: what update.ini says is all, never the environment.
        return QByteArray("");
    }
    url.setHost(proxy.hostName());
    url.setPort(proxy.port());
    url.setUserName(proxy.user());
    url.setPassword(proxy.password());
    return url.toEncoded();
}
}

HttpAccessManager::HttpAccessManager(QObject* parent)
    : QNetworkAccessManager(parent)
    , multi(new CurlMulti(this))
{
}

// Replies still alive go first: each one leaves the multi handle as it goes.
HttpAccessManager::~HttpAccessManager()
{
    qDeleteAll(findChildren<HttpReply*>(QString(), Qt::FindDirectChildrenOnly));
    delete multi;
}

void HttpAccessManager::setSpeedFloor(qint64 bytesPerSecond, int seconds)
{
    floorBytesPerSecond = qMax<qint64>(0, bytesPerSecond);
    floorSeconds = qMax(0, seconds);
}

bool HttpAccessManager::proxyFromSetting(const QString& text, QNetworkProxy& proxy)
{
    if (text.isEmpty()) {
        proxy = QNetworkProxy(QNetworkProxy::NoProxy);
        return true;
    }
    const QUrl url(text);
    // A URL without a host (such as "proxy:8080", read as a scheme and a path) would give a
    // proxy that no request can reach.
    if (!url.isValid() || url.host().isEmpty())
        return false;
    proxy = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port(3128)));
    return true;
}

// Only these, not the system's store beside them: parsing a whole store costs every new TLS
// connection about 25 ms of the event loop, and only tests set this.
void HttpAccessManager::setExtraCaCertificates(const QByteArray& pem)
{
    caBundle() = pem;
}

QNetworkReply* HttpAccessManager::createRequest(Operation op, const QNetworkRequest& request, QIODevice*)
{
    TransferLimits limits;
    limits.proxy = proxyUrl(proxy());
    limits.maximumBodySize = request.attribute(MaximumBodySizeAttribute, qint64(-1)).toLongLong();
    limits.floorBytesPerSecond = floorBytesPerSecond;
    limits.floorSeconds = floorSeconds;
    limits.connectTimeoutMs = connectTimeoutMs;
    limits.caCertificates = caBundle();
    return new HttpReply(multi, op, request, limits, this);
}

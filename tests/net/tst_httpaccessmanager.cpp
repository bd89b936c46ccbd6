#include "net/httpaccessmanager.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

// A server that answers each request with the next scripted response, byte for byte, on
// whatever connection the request came. What the client's own parsing and connection reuse
// must cope with is written out here rather than hidden in a server's habits.
class ScriptedServer : public QObject
{
    Q_OBJECT

public:
    struct Response
    {
        QByteArray bytes;
        bool closeAfter = false;
    };

    ScriptedServer()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                ++accepted;
                sockets.append(socket);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            }
        });
    }

    bool listen() { return server.listen(QHostAddress::LocalHost); }
    QUrl url(const QByteArray& path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()) + QString::fromLatin1(path));
    }
    // Closes every open connection, as a server does with idle ones.
    void closeAll()
    {
        for (QTcpSocket* socket : std::as_const(sockets))
            socket->close();
    }

    QList<Response> script;
    QList<QByteArray> requests;
    int accepted = 0;

private:
    void onReadyRead(QTcpSocket* socket)
    {
        pending[socket] += socket->readAll();
        qsizetype end;
        while ((end = pending[socket].indexOf("\r\n\r\n")) >= 0) {
            requests.append(pending[socket].left(end));
            pending[socket].remove(0, end + 4);
            const Response r = script.isEmpty() ? Response{"HTTP/1.1 500 No script\r\nContent-Length: 0\r\n\r\n"}
                                                : script.takeFirst();
            socket->write(r.bytes);
            if (r.closeAfter) {
                socket->disconnectFromHost();
                return;
            }
        }
    }

    QTcpServer server;
    QList<QTcpSocket*> sockets;
    QHash<QTcpSocket*, QByteArray> pending;
};

class tst_HttpAccessManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<HttpAccessManager> manager;
    std::unique_ptr<ScriptedServer> server;

    // Runs one GET to its end and returns the reply (owned by the manager).
    QNetworkReply* fetch(const QByteArray& path, qint64 bufferSize = 0)
    {
        QNetworkReply* reply = manager->get(QNetworkRequest(server->url(path)));
        reply->setReadBufferSize(bufferSize);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!finished.wait(5000))
            return nullptr;
        return reply;
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<ScriptedServer>();
        QVERIFY(server->listen());
        manager = std::make_unique<HttpAccessManager>();
        manager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }

    void cleanup()
    {
        manager.reset();
        server.reset();
    }

    // Only GETs over http and https: a URL from a server (a banner's address) cannot make
    // the updater read a local file or speak another protocol.
    void refusesOtherSchemesAndOperations()
    {
        for (const char* url : {"file:///etc/passwd", "ftp://127.0.0.1:1/a", "gopher://127.0.0.1:1/a"}) {
            QNetworkReply* reply = manager->get(QNetworkRequest(QUrl(url)));
            QSignalSpy finished(reply, &QNetworkReply::finished);
            QVERIFY(finished.wait(5000));
            QCOMPARE(reply->error(), QNetworkReply::ProtocolUnknownError);
            QCOMPARE(reply->readAll(), QByteArray());
        }
        QNetworkReply* reply = manager->head(QNetworkRequest(server->url("/a")));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(5000));
        QVERIFY(reply->error() != QNetworkReply::NoError);
        QCOMPARE(server->requests.size(), 0);
    }

    // The proxy is the manager's and nobody else's: none at all despite the environment, or
    // the one set, which then gets every request.
    void proxyIsTheManagersOnly()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QByteArray deadProxy = "http://127.0.0.1:" + QByteArray::number(closed.serverPort());
        closed.close();
        qputenv("http_proxy", deadProxy);
        qputenv("all_proxy", deadProxy);
        const auto restore = qScopeGuard([] {
            qunsetenv("http_proxy");
            qunsetenv("all_proxy");
        });
        const QByteArray ok("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        server->script = {{ok}, {ok}};
        QNetworkReply* reply = fetch("/direct");
        QVERIFY(reply);
        QCOMPARE(reply->readAll(), QByteArray("ok"));

        ScriptedServer proxy;
        QVERIFY(proxy.listen());
        proxy.script = {{ok}};
        manager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.url("").port()));
        reply = fetch("/via");
        QVERIFY(reply);
        QCOMPARE(reply->readAll(), QByteArray("ok"));
        QCOMPARE(proxy.requests.size(), 1);
        QVERIFY(proxy.requests.at(0).startsWith("GET " + server->url("/via").toEncoded() + " HTTP/1.1"));
        QCOMPARE(server->requests.size(), 1);
    }

    void responses_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<bool>("closeAfter");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("kept");

        const int none = QNetworkReply::NoError;
        QTest::newRow("length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello") << false << 200
                                << QByteArray("hello") << none << true;
        QTest::newRow("empty") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n") << false << 200
                               << QByteArray() << none << true;
        QTest::newRow("chunked") << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                               "5;ext=1\r\nhello\r\n1\r\n \r\nA\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n")
                                 << false << 200 << QByteArray("hello 0123456789") << none << true;
        QTest::newRow("interim answer first")
            << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok") << false << 200
            << QByteArray("ok") << none << true;
        QTest::newRow("ends at the close") << QByteArray("HTTP/1.1 200 OK\r\n\r\nuntil close") << true << 200
                                           << QByteArray("until close") << none << false;
        QTest::newRow("connection close") << QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx")
                                          << false << 200 << QByteArray("x") << none << false;
        QTest::newRow("HTTP/1.0") << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx") << false << 200
                                  << QByteArray("x") << none << false;
        QTest::newRow("not found, body read")
            << QByteArray("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope") << false << 404
            << QByteArray("nope") << int(QNetworkReply::ContentNotFoundError) << true;
        QTest::newRow("redirect not followed")
            << QByteArray("HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n") << false << 302
            << QByteArray() << none << true;
        QTest::newRow("closed mid-body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf") << true << 200
                                         << QByteArray("half") << int(QNetworkReply::RemoteHostClosedError) << false;
        QTest::newRow("closed before the answer") << QByteArray() << true << 0 << QByteArray()
                                                  << int(QNetworkReply::RemoteHostClosedError) << false;
        QTest::newRow("bad status line") << QByteArray("SPDY nonsense\r\n\r\n") << false << 0 << QByteArray()
                                         << int(QNetworkReply::ProtocolUnknownError) << false;
        QTest::newRow("bad length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: -3\r\n\r\n") << false << 0
                                    << QByteArray() << int(QNetworkReply::ProtocolFailure) << false;
        QTest::newRow("bad chunk") << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n") << false
                                   << 200 << QByteArray() << int(QNetworkReply::RemoteHostClosedError) << false;
    }

    // Each answer as a caller sees it, and whether its connection carries the next request.
    void responses()
    {
        QFETCH(QByteArray, response);
        QFETCH(bool, closeAfter);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, error);
        QFETCH(bool, kept);

        server->script = {{response, closeAfter}};
        QNetworkReply* reply = manager->get(QNetworkRequest(server->url("/dir/a%23b.bin?q=1")));
        QSignalSpy metaData(reply, &QNetworkReply::metaDataChanged);
        QSignalSpy errors(reply, &QNetworkReply::errorOccurred);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QByteArray got;
        connect(reply, &QNetworkReply::readyRead, this, [&] { got += reply->readAll(); });
        QVERIFY(finished.wait(5000));
        got += reply->readAll();

        QCOMPARE(server->requests.size(), 1);
        QVERIFY(server->requests.at(0).startsWith("GET /dir/a%23b.bin?q=1 HTTP/1.1\r\nHost: 127.0.0.1:"));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
        // Headers that cannot be read are not announced.
        QCOMPARE(metaData.size(), status ? 1 : 0);
        QCOMPARE(got, body);
        QCOMPARE(int(reply->error()), error);
        QCOMPARE(errors.size(), error == QNetworkReply::NoError ? 0 : 1);
        QCOMPARE(finished.size(), 1);
        QVERIFY(!reply->isRunning());
        if (status == 302)
            QCOMPARE(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl(), server->url("/b"));
        server->script = {{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}};
        QVERIFY(fetch("/next"));
        QCOMPARE(server->accepted, kept ? 1 : 2);
    }

    // Requests one after another share one connection; when the server has closed it, the
    // next request goes out on a new one, including when the close has not been noticed yet.
    void connectionsAreReused()
    {
        const QByteArray ok("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        server->script = {{ok}, {ok}, {ok}, {ok}, {ok}};
        for (int i = 0; i < 3; ++i) {
            QNetworkReply* reply = fetch("/a");
            QVERIFY(reply);
            QCOMPARE(reply->readAll(), QByteArray("ok"));
        }
        QCOMPARE(server->accepted, 1);
        QCOMPARE(server->requests.size(), 3);

        // Closed while idle, and the client runs no event loop before its next request.
        server->closeAll();
        QNetworkReply* reply = fetch("/b");
        QVERIFY(reply);
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(reply->readAll(), QByteArray("ok"));
        QCOMPARE(server->accepted, 2);

        // Closed and noticed while idle.
        server->closeAll();
        QTest::qWait(50);
        reply = fetch("/c");
        QVERIFY(reply);
        QCOMPARE(reply->readAll(), QByteArray("ok"));
        QCOMPARE(server->accepted, 3);
    }

    void refusedConnectionFails()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/a").arg(probe.serverPort()));
        probe.close();
        QNetworkReply* reply = manager->get(QNetworkRequest(url));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(reply->error(), QNetworkReply::ConnectionRefusedError);
        QCOMPARE(finished.size(), 1);
    }

    // A reader that takes less than arrives holds the reply near its buffer size: the rest
    // waits in the connection, and a large file costs no more memory than a small one.
    void bufferSizeBoundsWhatIsHeld()
    {
        const QByteArray data(16 * 1024 * 1024, 'z');
        server->script = {{"HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(data.size()) + "\r\n\r\n" + data}};
        constexpr qint64 cap = 1024 * 1024;
        QNetworkReply* reply = manager->get(QNetworkRequest(server->url("/big")));
        reply->setReadBufferSize(cap);
        qint64 most = 0;
        QByteArray got;
        connect(reply, &QNetworkReply::readyRead, this, [&] {
            most = qMax(most, reply->bytesAvailable());
            got += reply->read(16 * 1024);
        });
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(10000));
        got += reply->readAll();
        QVERIFY(got == data);
        QVERIFY2(most >= cap && most < 2 * cap, QByteArray::number(most).constData());
    }

    // A caller may abort at any point; the reply ends once, with the connection closed.
    void abortEndsOnce()
    {
        server->script = {{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nsome"}};
        QNetworkReply* reply = manager->get(QNetworkRequest(server->url("/a")));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(QTest::qWaitFor([&] { return reply->bytesAvailable() > 0; }, 5000));
        reply->abort();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
        reply->abort();
        QCOMPARE(finished.size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_HttpAccessManager)
#include "tst_httpaccessmanager.moc"

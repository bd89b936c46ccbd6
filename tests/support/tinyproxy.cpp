#include "support/tinyproxy.h"

#include "support/testfiles.h"

#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

bool TinyProxy::available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("tinyproxy")).isEmpty()
        || !QStandardPaths::findExecutable(QStringLiteral("tinyproxy"), {QStringLiteral("/usr/sbin")}).isEmpty();
}

bool TinyProxy::start(const QString& dir)
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return false;
    port = probe.serverPort();
    probe.close();
    log = dir + QStringLiteral("/tinyproxy.log");
    const QString conf = dir + QStringLiteral("/tinyproxy.conf");
    const QByteArray config = "Port " + QByteArray::number(port) + "\nListen 127.0.0.1\nTimeout 30\n"
                              "MaxClients 20\nAllow 127.0.0.1\nLogLevel Info\nLogFile \"" + log.toUtf8() + "\"\n";
    if (!writeTestFile(conf, config))
        return false;
    process.start(QStringLiteral("tinyproxy"), {QStringLiteral("-d"), QStringLiteral("-c"), conf});
    if (!process.waitForStarted())
        return false;
    return QTest::qWaitFor([this] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(100);
    }, 5000);
}

int TinyProxy::forwarded() const
{
    return int(readTestFile(log).count("Request (file descriptor"));
}

TinyProxy::~TinyProxy()
{
    process.terminate();
    if (!process.waitForFinished(3000))
        process.kill();
    process.waitForFinished();
}

#include "support/nginxmirrors.h"

#include "support/testfiles.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <unistd.h>

namespace {
// Free loopback ports: held open together so they differ, then handed to nginx.
QList<quint16> freePorts(int count)
{
    QList<QTcpServer*> probes;
    QList<quint16> ports;
    for (int i = 0; i < count; ++i) {
        auto* probe = new QTcpServer;
        if (probe->listen(QHostAddress::LocalHost, 0))
            ports << probe->serverPort();
        probes << probe;
    }
    qDeleteAll(probes);
    return ports;
}

bool runOpenSsl(const QStringList& args, const QString& dir, QString& error)
{
    QProcess openssl;
    openssl.setWorkingDirectory(dir);
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), args);
    if (openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0)
        return true;
    error = QStringLiteral("openssl %1: %2").arg(args.join(QLatin1Char(' ')), QString::fromUtf8(openssl.readAll()));
    return false;
}
}

NginxMirrors::~NginxMirrors()
{
    stop();
}

bool NginxMirrors::available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")})
                .isEmpty();
}

bool NginxMirrors::makeCertificates(const QString& work)
{
    caPath = work + QStringLiteral("/ca.pem");
    return writeTestFile(work + QStringLiteral("/server.ext"),
                         "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
        && runOpenSsl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
                       "-days", "2", "-subj", "/CN=Quorvel test authority"}, work, error)
        && runOpenSsl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
                       "-subj", "/CN=127.0.0.1"}, work, error)
        && runOpenSsl({"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                       "-out", "server.pem", "-days", "2", "-extfile", "server.ext"}, work, error);
}

bool NginxMirrors::start(const QString& root, const QString& work, const Options& options)
{
    if (options.https && !makeCertificates(work))
        return false;
    const int count = options.httpPorts + (options.https ? 1 : 0);
    const QList<quint16> ports = freePorts(count);
    if (ports.size() != count) {
        error = QStringLiteral("no free loopback ports");
        return false;
    }
    accessLog = work + QStringLiteral("/access.log");
    const QByteArray w = work.toUtf8();
    QByteArray servers;
    mirrorUrls.clear();
    for (int i = 0; i < count; ++i) {
        const bool tls = options.https && i == count - 1;
        const QByteArray port = QByteArray::number(ports.at(i));
        servers += "  server {\n    listen 127.0.0.1:" + port + (tls ? " ssl" : "") + ";\n    root " + root.toUtf8()
                   + ";\n";
        if (tls)
            servers += "    ssl_certificate " + w + "/server.pem;\n    ssl_certificate_key " + w + "/server.key;\n";
        if (options.slowKiB > 0)
            servers += "    location ~ " + QRegularExpression::escape(options.slowSuffix).toUtf8() + "$ { limit_rate "
                       + QByteArray::number(options.slowKiB) + "k; }\n";
        servers += "  }\n";
        mirrorUrls << QUrl(QStringLiteral("%1://127.0.0.1:%2/").arg(tls ? "https" : "http").arg(ports.at(i)));
    }
    // As root, nginx's workers would switch to an account that cannot read the test's folders.
    const QByteArray user = ::geteuid() == 0 ? "user root root;\n" : "";
    const QByteArray config = user + "worker_processes 1;\ndaemon off;\npid " + w + "/nginx.pid;\nerror_log " + w
                              + "/error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log " + w
                              + "/access.log;\n  client_body_temp_path " + w + "/body;\n  proxy_temp_path " + w
                              + "/proxy;\n  fastcgi_temp_path " + w + "/fastcgi;\n  uwsgi_temp_path " + w
                              + "/uwsgi;\n  scgi_temp_path " + w + "/scgi;\n  default_type application/octet-stream;\n"
                              + servers + "}\n";
    if (!writeTestFile(work + QStringLiteral("/nginx.conf"), config)) {
        error = QStringLiteral("cannot write the nginx configuration");
        return false;
    }
    nginx.setProcessChannelMode(QProcess::MergedChannels);
    nginx.start(QStringLiteral("nginx"), {QStringLiteral("-p"), work, QStringLiteral("-c"), work + QStringLiteral("/nginx.conf")});
    if (!nginx.waitForStarted(5000)) {
        error = QStringLiteral("nginx does not start: %1").arg(nginx.errorString());
        return false;
    }
    const bool listening = QTest::qWaitFor([&] {
        if (nginx.state() == QProcess::NotRunning)
            return true;
        for (const quint16 port : ports) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (!socket.waitForConnected(100))
                return false;
        }
        return true;
    }, 10000);
    if (!listening || nginx.state() == QProcess::NotRunning) {
        error = QStringLiteral("nginx is not listening: %1 %2")
                    .arg(QString::fromUtf8(nginx.readAll()), QString::fromUtf8(readTestFile(work + QStringLiteral("/error.log"))));
        stop();
        return false;
    }
    return true;
}

void NginxMirrors::stop()
{
    if (nginx.state() == QProcess::NotRunning)
        return;
    nginx.terminate();
    if (!nginx.waitForFinished(5000)) {
        nginx.kill();
        nginx.waitForFinished(5000);
    }
}

int NginxMirrors::servedCount(const QString& suffix) const
{
    return served(suffix).count;
}

qint64 NginxMirrors::bodyBytesSent(const QString& suffix) const
{
    return served(suffix).bytes;
}

NginxMirrors::Served NginxMirrors::served(const QString& suffix) const
{
    Served total;
    const QList<QByteArray> lines = readTestFile(accessLog).split('\n');
    for (const QByteArray& line : lines) {
        // 127.0.0.1 - - [time] "GET /2/files/a HTTP/1.1" 200 123 ...
        const QList<QByteArray> quoted = line.split('"');
        if (quoted.size() < 3)
            continue;
        const QList<QByteArray> request = quoted.at(1).split(' ');
        const QList<QByteArray> fields = quoted.at(2).trimmed().split(' ');
        const QByteArray status = fields.value(0);
        if (request.size() >= 2 && QString::fromUtf8(QByteArray::fromPercentEncoding(request.at(1))).endsWith(suffix)
            && (status == "200" || status == "206")) {
            ++total.count;
            total.bytes += fields.value(1).toLongLong();
        }
    }
    return total;
}

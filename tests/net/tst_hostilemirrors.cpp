#include "net/downloadtaskspecification.h"
#include "net/httpaccessmanager.h"
#include "net/mirrors.h"
#include "support/mirrorsini.h"
#include "support/nginxmirrors.h"
#include "support/scriptedserver.h"
#include "support/taskspy.h"
#include "support/testfiles.h"
#include "support/testhttpserver.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

using Script = ScriptedServer::Script;
Q_DECLARE_METATYPE(Script)

namespace {
constexpr int Version = 1234;
constexpr qint64 Listed = 10000;
constexpr qint64 MiB = 1024 * 1024;
// No endless answer is truly endless; a client that keeps reading would reach this.
constexpr qint64 EndlessCap = 64 * MiB;
// Bounds every row is held to.
constexpr qint64 RowLimitMs = 15000;
constexpr qint64 LongestGapMs = 100;
constexpr qint64 PeakGrowthLimit = 32 * MiB;  // below any hostile stream, so none can be held in memory
constexpr qint64 HostileSendLimit = 16 * MiB;
// The speed floor of every row but one, in bytes per second over one second.
constexpr int Floor = 1000;

enum class Outcome {
    FailsOver,       // mirror1 fails once, mirror2 serves the file
    HostileServes,   // mirror1 serves the file after all
    NextFileIntact,  // mirror1 serves the file, and a second one right after it arrives intact
};

QByteArray fileContent(char seed)
{
    QByteArray data(Listed, Qt::Uninitialized);
    for (int i = 0; i < Listed; ++i)
        data[i] = char(seed + i % 23);
    return data;
}

const QByteArray& good()
{
    static const QByteArray data = fileContent('a');
    return data;
}

const QByteArray& secondGood()
{
    static const QByteArray data = fileContent('k');
    return data;
}

QString served(const QString& name)
{
    return QStringLiteral("/%1/%2").arg(Version).arg(name);
}

QByteArray okHead(qint64 length)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

const QByteArray ChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

// The body in chunks of 1000 bytes, without the last chunk that ends it.
QByteArray chunks(const QByteArray& body)
{
    QByteArray out;
    for (qsizetype at = 0; at < body.size(); at += 1000) {
        const QByteArray piece = body.mid(at, 1000);
        out += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
    }
    return out;
}

QByteArray redirectTo(const QByteArray& location)
{
    return "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

Script answer(const QByteArray& bytes)
{
    return [bytes](ScriptedConnection& c) {
        if (!c.readRequest().isEmpty())
            c.send(bytes);
    };
}

Script endless(const QByteArray& head, const QByteArray& unit, qint64 limit = EndlessCap)
{
    return [head, unit, limit](ScriptedConnection& c) {
        if (!c.readRequest().isEmpty() && c.send(head))
            c.sendRepeated(unit, limit);
    };
}

// The connection stays open without another byte until the row ends.
Script silenceAfter(const QByteArray& head)
{
    return [head](ScriptedConnection& c) {
        if (!c.readRequest().isEmpty() && c.send(head))
            while (c.pause(1000)) {
            }
    };
}

Script trickle(const QByteArray& head, const QByteArray& body, int everyMs)
{
    return [head, body, everyMs](ScriptedConnection& c) {
        if (c.readRequest().isEmpty() || !c.send(head))
            return;
        for (qsizetype i = 0; i < body.size(); ++i) {
            if (!c.send(body.mid(i, 1)) || !c.pause(everyMs))
                return;
        }
    };
}

// A keep-alive connection whose first answer is followed by a complete, wrong second one.
Script fakeAnswerBehindTheFirst()
{
    return [](ScriptedConnection& c) {
        for (QByteArray head = c.readRequest(); !head.isEmpty(); head = c.readRequest()) {
            const bool first = head.startsWith("GET " + served(QStringLiteral("f.bin")).toLatin1() + ' ');
            const QByteArray sent = first ? okHead(Listed) + good() + okHead(Listed) + fileContent('A')
                                          : okHead(Listed) + secondGood();
            if (!c.send(sent))
                return;
        }
    };
}

// "5" starts the peak resident size (VmHWM) afresh from the current one.
bool resetPeakMemory()
{
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY);
    const bool done = fd >= 0 && ::write(fd, "5", 1) == 1;
    if (fd >= 0)
        ::close(fd);
    return done;
}

qint64 statusBytes(const QByteArray& field)
{
    const QList<QByteArray> lines = readTestFile(QStringLiteral("/proc/self/status")).split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}

// nginx's HTTPS port as two mirrors: first as localhost, a name its certificate does not
// carry, then as 127.0.0.1, the one it does.
bool startUnderTwoNames(NginxMirrors& nginx, const QTemporaryDir& tmp, QList<TestMirrorEntry>& entries)
{
    const QString root = tmp.filePath(QStringLiteral("www"));
    NginxMirrors::Options options;
    options.httpPorts = 0;
    options.https = true;
    if (!writeTestFile(root + served(QStringLiteral("f.bin")), good())
        || !nginx.start(root, tmp.filePath(QStringLiteral("nginx")), options))
        return false;
    HttpAccessManager::setExtraCaCertificates(readTestFile(nginx.caCertificate()));
    const int port = nginx.urls().last().port();
    entries = {{testMirrorName(0), QStringLiteral("https://localhost:%1/").arg(port), QStringLiteral("2")},
               {testMirrorName(1), QStringLiteral("https://127.0.0.1:%1/").arg(port), QStringLiteral("2")}};
    return true;
}

// CPU time of the calling thread: a beat that came late while this thread computed was held up
// by our code; one that came late while the machine ran other work was not.
qint64 threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct Probe
{
    qint64 longestGapMs = 0;
    qint64 largestFile = 0;
};

// Runs one download to its end as the engine does, a tick every 100 ms, while a 10 ms beat
// measures how long the event loop was ever held up: the thread's CPU time between two beats.
void runToEnd(DownloadTaskSpecification& task, const QString& local, Probe& probe)
{
    qint64 lastBeat = threadCpuMs();
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&beat, &QTimer::timeout, &beat, [&] {
        const qint64 now = threadCpuMs();
        probe.longestGapMs = qMax(probe.longestGapMs, now - lastBeat);
        lastBeat = now;
    });
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.timeTick(done, total, speed, downloading);
        probe.largestFile = std::max({probe.largestFile, QFileInfo(local).size(), task.getBytesWritten()});
    });
    QEventLoop loop;
    QObject::connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    QTimer::singleShot(RowLimitMs, &loop, &QEventLoop::quit);
    lastBeat = threadCpuMs();
    beat.start(10);
    ticker.start(100);
    task.execute();
    if (task.getState() == StateRunning)
        loop.exec();
    // A hold just before the end has no beat behind it.
    probe.longestGapMs = qMax(probe.longestGapMs, threadCpuMs() - lastBeat);
    probe.largestFile = qMax(probe.largestFile, QFileInfo(local).size());
}
}

Q_DECLARE_METATYPE(Outcome)

class tst_HostileMirrors : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A mirror that breaks HTTP costs one failed attempt and no more: the download ends on
    // the good mirror in bounded time and memory, the event loop never stalls, and the file
    // never grows beyond its listed size.
    void misbehaviourEndsCleanlyWithinBounds_data()
    {
        // mirror1's bytes; null: a TLS mirror under a name its certificate does not carry
        QTest::addColumn<Script>("script");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("failure");  // in the logged failure; "" = any but the stall rule
        QTest::addColumn<int>("speedFloor");

        const QByteArray status = "HTTP/1.1 200 OK\r\n";
        const QByteArray filler(64 * 1024, 'z');
        const QString tooMuchHeader = QStringLiteral("bytes of headers");
        const Script sameHeader100000Times = [](ScriptedConnection& c) {
            const QByteArray line = "X-Same: 1\r\n";
            if (!c.readRequest().isEmpty() && c.send("HTTP/1.1 200 OK\r\n")
                && c.sendRepeated(line, 100000 * line.size()) == 100000 * line.size())
                c.send("Content-Length: 10000\r\n\r\n" + good());
        };
        QTest::newRow("endless headers")
            << endless(status, "X-Fill: " + QByteArray(64, 'a') + "\r\n") << Outcome::FailsOver << tooMuchHeader
            << Floor;
        QTest::newRow("one header 100,000 times")
            << sameHeader100000Times << Outcome::FailsOver << tooMuchHeader << Floor;
        QTest::newRow("one 100 Continue before the answer")
            << answer("HTTP/1.1 100 Continue\r\n\r\n" + okHead(Listed) + good()) << Outcome::HostileServes << QString()
            << Floor;
        QTest::newRow("endless 103 Early Hints")
            << endless({}, "HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n") << Outcome::FailsOver
            << tooMuchHeader << Floor;
        QTest::newRow("garbage status line")
            << answer("SPDY nonsense\r\n\r\n") << Outcome::FailsOver << QString() << Floor;
        QTest::newRow("HTTP/1.0 without length, closed halfway")
            << answer("HTTP/1.0 200 OK\r\n\r\n" + good().left(5000)) << Outcome::FailsOver
            << "ended after 5000 of 10000 bytes" << Floor;
        QTest::newRow("length beyond the body, then closed")
            << answer(okHead(Listed) + good().left(6000)) << Outcome::FailsOver << "Connection closed" << Floor;
        QTest::newRow("length short of the body")
            << answer(okHead(6000) + good()) << Outcome::FailsOver << "ended after 6000 of 10000 bytes" << Floor;
        QTest::newRow("two different lengths")
            << answer(status + "Content-Length: 10000\r\nContent-Length: 6000\r\n\r\n" + good())
            << Outcome::FailsOver << "two different lengths" << Floor;
        QTest::newRow("chunk size beyond 64 bits")
            << answer(ChunkedHead + "FFFFFFFFFFFFFFFFFFFF\r\n" + good() + "\r\n0\r\n\r\n") << Outcome::FailsOver
            << QString() << Floor;
        QTest::newRow("negative chunk size")
            << answer(ChunkedHead + "-5\r\nhello\r\n" + chunks(good()) + "0\r\n\r\n") << Outcome::FailsOver
            << QString() << Floor;
        QTest::newRow("chunk size not hex")
            << answer(ChunkedHead + "zz\r\nhello\r\n" + chunks(good()) + "0\r\n\r\n") << Outcome::FailsOver
            << QString() << Floor;
        QTest::newRow("all chunks but the last, then closed")
            << answer(ChunkedHead + chunks(good())) << Outcome::FailsOver << "Connection closed" << Floor;
        // No floor: what ends it must be the download's own stall rule.
        QTest::newRow("body never comes")
            << silenceAfter(okHead(Listed)) << Outcome::FailsOver << "timed out on mirror mirror1" << 0;
        // Never silent for a whole tick: only the speed floor ends it.
        QTest::newRow("one byte every 50 ms")
            << trickle(okHead(Listed), good(), 50) << Outcome::FailsOver << "Operation timed out" << Floor;
        QTest::newRow("302 to file:///etc/passwd")
            << answer(redirectTo("file:///etc/passwd")) << Outcome::FailsOver << "returned 302" << Floor;
        QTest::newRow("302 to ftp")
            << answer(redirectTo("ftp://127.0.0.1/1234/f.bin")) << Outcome::FailsOver << "returned 302" << Floor;
        QTest::newRow("50 MB announced")
            << endless(okHead(50 * MiB), filler, 50 * MiB) << Outcome::FailsOver
            << "announced longer than the 10000 bytes" << Floor;
        QTest::newRow("50 MB without a length")
            << endless(status + "\r\n", filler, 50 * MiB) << Outcome::FailsOver << "longer than the 10000 bytes"
            << Floor;
        QTest::newRow("fake answer behind the first on a kept connection")
            << fakeAnswerBehindTheFirst() << Outcome::NextFileIntact << QString() << Floor;
        QTest::newRow("endless trailers")
            << endless(ChunkedHead + "2710\r\n" + good() + "\r\n0\r\n", "X-T: " + QByteArray(64, 'a') + "\r\n")
            << Outcome::FailsOver << tooMuchHeader << Floor;
        QTest::newRow("certificate for another name")
            << Script() << Outcome::FailsOver << "SSL handshake failed" << Floor;
    }

    void misbehaviourEndsCleanlyWithinBounds()
    {
        QFETCH(Script, script);
        QFETCH(Outcome, outcome);
        QFETCH(QString, failure);
        QFETCH(int, speedFloor);

        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        ScriptedServer hostile;
        TestHttpServer goodServer;
        NginxMirrors nginx;
        const auto untrust = qScopeGuard([] { HttpAccessManager::setExtraCaCertificates({}); });
        QList<TestMirrorEntry> entries;
        if (script) {
            QVERIFY(hostile.listen(script));
            QVERIFY(goodServer.listen());
            goodServer.setFile(served(QStringLiteral("f.bin")), good());
            goodServer.setFile(served(QStringLiteral("g.bin")), secondGood());
            entries = {{testMirrorName(0), hostile.baseUrl(), QStringLiteral("2")},
                       {testMirrorName(1), goodServer.baseUrl(), QStringLiteral("2")}};
        } else {
            if (!NginxMirrors::available())
                QSKIP("nginx is not installed");
            QVERIFY2(startUnderTwoNames(nginx, tmp, entries), qPrintable(nginx.errorText()));
        }
        Mirrors pool(nullptr);
        const QString ini = tmp.filePath(QStringLiteral("mirrors.ini"));
        QVERIFY(writeMirrorsIni(ini, entries));
        QVERIFY(pool.initDefault(ini, Version));
        HttpAccessManager nam;
        nam.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        nam.setSpeedFloor(speedFloor, 1);
        nam.setConnectTimeout(5000);
        // mirror1 first; after its failure mirror2, whether mirror1 is still in the pool or not.
        if (outcome == Outcome::NextFileIntact)
            steerDraws({0, 0, 1});
        else
            steerDraws({0, 1});
        const auto download = [&](const QString& name) {
            return std::make_unique<DownloadTaskSpecification>(&nam, &pool, name, tmp.filePath(name), Listed, nullptr,
                                                               1.0);
        };

        const auto task = download(QStringLiteral("f.bin"));
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        std::unique_ptr<DownloadTaskSpecification> next;
        Probe probe;
        QVERIFY(resetPeakMemory());
        const qint64 residentAtStart = statusBytes("VmRSS");
        QElapsedTimer wall;
        wall.start();
        runToEnd(*task, tmp.filePath(QStringLiteral("f.bin")), probe);
        if (outcome == Outcome::NextFileIntact && task->getState() == StateFinished) {
            next = download(QStringLiteral("g.bin"));
            runToEnd(*next, tmp.filePath(QStringLiteral("g.bin")), probe);
        }
        const qint64 elapsedMs = wall.elapsed();
        const qint64 peakGrowth = statusBytes("VmHWM") - residentAtStart;
        hostile.stop();

        // The bounds, whatever the mirror did.
        QVERIFY2(elapsedMs < RowLimitMs, qPrintable(QString::number(elapsedMs)));
        QVERIFY2(probe.longestGapMs < LongestGapMs, qPrintable(QString::number(probe.longestGapMs)));
        QVERIFY2(peakGrowth < PeakGrowthLimit, qPrintable(QString::number(peakGrowth)));
        QVERIFY2(probe.largestFile <= Listed, qPrintable(QString::number(probe.largestFile)));
        QVERIFY2(hostile.bytesSent() < HostileSendLimit, qPrintable(QString::number(hostile.bytesSent())));

        const QStringList logged = texts(messages);
        const QByteArray log = logged.join(QStringLiteral(" | ")).toUtf8();
        QVERIFY2(task->getState() == StateFinished, log.constData());
        QCOMPARE(readTestFile(tmp.filePath(QStringLiteral("f.bin"))), good());
        if (outcome == Outcome::FailsOver) {
            QCOMPARE(task->getMirror().name, testMirrorName(1));
            QVERIFY2(logged.size() == 4, log.constData());
            QVERIFY2(logged.at(1).contains(failure), log.constData());
            QVERIFY2(logged.at(2).startsWith(QStringLiteral("Fetching ")), log.constData());
            if (failure.isEmpty())
                QVERIFY2(!logged.at(1).contains(QLatin1String("timed out on mirror")), log.constData());
        } else {
            QCOMPARE(task->getMirror().name, testMirrorName(0));
            QCOMPARE(logged, (QStringList{QStringLiteral("Downloading f.bin"),
                                          QStringLiteral("Downloading f.bin finished")}));
        }
        if (script && outcome != Outcome::NextFileIntact) {
            // One request on one connection: no redirect followed, no second try on mirror1.
            QCOMPARE(hostile.connections(), 1);
            QCOMPARE(hostile.requests(), 1);
        }
        if (next) {
            // Whatever the first answer left behind on its connection is no answer to the next.
            QCOMPARE(next->getState(), int(StateFinished));
            QCOMPARE(readTestFile(tmp.filePath(QStringLiteral("g.bin"))), secondGood());
        }
        QCOMPARE(usedSlots(pool), 0);
    }
};

QTEST_GUILESS_MAIN(tst_HostileMirrors)
#include "tst_hostilemirrors.moc"

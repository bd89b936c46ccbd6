// Whole updates whose large file breaks off on the first mirror: the rest comes as a range
// from nginx, or the first mirror misanswers the range, and every one ends in the release.
#include "core/configuration.h"
#include "net/httpaccessmanager.h"
#include "net/mirrors.h"
#include "support/mirrorsini.h"
#include "support/nginxmirrors.h"
#include "support/scriptedserver.h"
#include "support/taskspy.h"
#include "support/testfiles.h"
#include "support/testrelease.h"
#include "update/maintaskspecification.h"
#include "update/tomcryptutil.h"

#include <QNetworkProxy>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {
constexpr int Version = 2;
const QString BigFile = QStringLiteral("data/big.bin");

// How the first mirror answers a request for the rest of the big file.
enum class RangeAnswer {
    Rest,        // 206 with the rest, as it should
    Whole,       // 200 with the whole file
    WrongRange,  // 206 with the whole file, said to start at byte 0
    OtherFile,   // 206 with the right range of another file of the same size
};

QByteArray head(const QByteArray& status, qint64 length, const QByteArray& range = {})
{
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(length) + "\r\n"
           + (range.isEmpty() ? QByteArray() : "Content-Range: " + range + "\r\n") + "\r\n";
}

qint64 rangeStart(const QByteArray& request)
{
    const qsizetype at = request.indexOf("\r\nRange: bytes=");
    return at < 0 ? 0 : request.mid(at + 15, request.indexOf('-', at + 15) - at - 15).toLongLong();
}

// Serves every file below root as a plain server does, except the big file: its first request
// gets 60% of it before the connection closes, and a range is answered as `answer` says.
ScriptedServer::Script firstMirror(const QString& root, const QByteArray& big, const QByteArray& other,
                                   RangeAnswer answer, std::shared_ptr<std::atomic<int>> bigRequests)
{
    return [=](ScriptedConnection& c) {
        for (QByteArray request = c.readRequest(); !request.isEmpty(); request = c.readRequest()) {
            const QByteArray path = request.split(' ').value(1);
            if (!path.endsWith(BigFile.toLatin1())) {
                const QByteArray file = readTestFile(root + QString::fromLatin1(path));
                if (!c.send(file.isNull() ? head("404 Not Found", 0) : head("200 OK", file.size()) + file))
                    return;
                continue;
            }
            const qint64 size = big.size();
            const qint64 from = rangeStart(request);
            const QByteArray last = QByteArray::number(size - 1) + '/' + QByteArray::number(size);
            if (++*bigRequests == 1)
                c.send(head("200 OK", size) + big.left(size * 6 / 10));
            else if (from == 0 || answer == RangeAnswer::Whole)
                c.send(head("200 OK", size) + big);
            else if (answer == RangeAnswer::WrongRange)
                c.send(head("206 Partial Content", size, "bytes 0-" + last) + big);
            else
                c.send(head("206 Partial Content", size - from, "bytes " + QByteArray::number(from) + '-' + last)
                       + (answer == RangeAnswer::OtherFile ? other : big).mid(from));
            return;
        }
    };
}
}

Q_DECLARE_METATYPE(RangeAnswer)

class tst_MainTaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { crypt_init(); }

    void largeFileBrokenOffEndsInTheRelease_data()
    {
        QTest::addColumn<int>("mib");
        QTest::addColumn<RangeAnswer>("answer");
        // Which mirror each draw picks: 0 the first, 1 nginx. Product ini and signature come
        // from nginx, the big file first from the first mirror.
        QTest::addColumn<QList<int>>("draws");
        QTest::addColumn<int>("firstMirrorRequests");  // for the big file
        QTest::addColumn<QString>("nginxSends");       // of the big file: "rest", "nothing" or "all"
        QTest::addColumn<QString>("logged");  // in the log: %1 the bytes kept, %2 the size, %3 its last byte

        QTest::newRow("nginx sends the rest") << 64 << RangeAnswer::Rest << QList<int>{1, 1, 0, 1} << 1 << "rest"
                                              << "resuming 'files/data/big.bin' at %1 of %2 bytes";
        QTest::newRow("the range answered with 200 and the whole file")
            << 8 << RangeAnswer::Whole << QList<int>{1, 1, 0, 0} << 2 << "nothing" << "";
        QTest::newRow("a wrong Content-Range")
            << 8 << RangeAnswer::WrongRange << QList<int>{1, 1, 0, 0, 1} << 2 << "all"
            << "with Content-Range 'bytes 0-%3/%2' for bytes %1 to %3";
        QTest::newRow("another file of the same size")
            << 8 << RangeAnswer::OtherFile << QList<int>{1, 1, 0, 0, 1} << 2 << "all"
            << "md5 sum for data/big.bin failed after resuming, retrying from the first byte";
    }

    void largeFileBrokenOffEndsInTheRelease()
    {
        QFETCH(int, mib);
        QFETCH(RangeAnswer, answer);
        QFETCH(QList<int>, draws);
        QFETCH(int, firstMirrorRequests);
        QFETCH(QString, nginxSends);
        QFETCH(QString, logged);
        if (!NginxMirrors::available())
            QSKIP("nginx is not installed (scripts/setup.sh installs it)");

        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const qint64 size = qint64(mib) << 20;
        const qint64 kept = size * 6 / 10;
        TestRelease release(Version);
        release.files.insert(BigFile, randomTestData(size, 1));
        const QString www = tmp.filePath(QStringLiteral("www"));
        QVERIFY(release.publish(www));

        NginxMirrors nginx;
        QVERIFY2(nginx.start(www, tmp.filePath(QStringLiteral("nginx")), {}), qPrintable(nginx.errorText()));
        ScriptedServer first;
        const auto bigRequests = std::make_shared<std::atomic<int>>(0);
        QVERIFY(first.listen(
            firstMirror(www, release.files.value(BigFile), randomTestData(size, 2), answer, bigRequests)));
        const QString mirrorsIni = tmp.filePath(QStringLiteral("mirrors.ini"));
        QVERIFY(writeMirrorsIni(mirrorsIni, {{QStringLiteral("first"), first.baseUrl(), QString()},
                                             {QStringLiteral("nginx"), nginx.urls().first().toString(), QString()}}));
        Mirrors pool(nullptr);
        QVERIFY(pool.initDefault(mirrorsIni, Version));
        HttpAccessManager manager;
        manager.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));

        const QString install = tmp.filePath(QStringLiteral("install"));
        QVERIFY(QDir().mkpath(install) && QDir().mkpath(tmp.filePath(QStringLiteral("work"))));
        Configuration::setAppRootPath(install);
        const auto noRoot = qScopeGuard([] { Configuration::setAppRootPath(QString()); });
        Configuration configuration;
        configuration.clientType = release.clientType;
        configuration.clientVersion = Version;
        configuration.tempDir = tmp.filePath(QStringLiteral("work"));
        configuration.downloadStreams = 6;

        steerDraws(draws);
        MainTaskSpecification task(&manager, &pool, &configuration, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        task.execute();
        QVERIFY(waitForEnd(task, 60000));
        const QString log = texts(messages).join(QLatin1Char('\n'));
        QVERIFY2(task.getState() == StateFinished, qPrintable(log));

        QVERIFY(readTestFile(install + QLatin1Char('/') + BigFile) == release.files.value(BigFile));
        QCOMPARE(bigRequests->load(), firstMirrorRequests);
        const qint64 fromNginx = nginxSends == QLatin1String("rest") ? size - kept
                                 : nginxSends == QLatin1String("all") ? size : 0;
        // nginx logs a request once it has ended.
        QTRY_COMPARE(nginx.bodyBytesSent(BigFile), fromNginx);
        QString line = logged;
        line.replace(QLatin1String("%1"), QString::number(kept))
            .replace(QLatin1String("%2"), QString::number(size))
            .replace(QLatin1String("%3"), QString::number(size - 1));
        QVERIFY2(log.contains(line), qPrintable(log));
        if (answer == RangeAnswer::Rest) {
            // The window's bar never went back: the bytes kept count from the moment they came.
            for (qsizetype i = 1; i < progress.size(); ++i)
                QVERIFY2(progress.at(i).at(0).toDouble() >= progress.at(i - 1).at(0).toDouble(), qPrintable(log));
        }
        QCOMPARE(usedSlots(pool), 0);
    }
};

QTEST_GUILESS_MAIN(tst_MainTaskSpecification)
#include "tst_maintaskspecification.moc"

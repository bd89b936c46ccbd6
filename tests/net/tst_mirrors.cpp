#include "core/qrandcompat.h"
#include "net/mirrors.h"
#include "support/mirrorsini.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class tst_Mirrors : public QObject
{
    Q_OBJECT

private:
    QString writeFile(const QString& name, const QByteArray& text)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return {};
        file.write(text);
        return path;
    }
    // A pool of the given mirror names, each with a URL and default retries.
    void fill(Mirrors& pool, const QStringList& names)
    {
        QList<TestMirrorEntry> entries;
        for (const QString& name : names)
            entries.append({name, QStringLiteral("http://127.0.0.1:1/") + name, QString()});
        const QString path = dir.filePath(QStringLiteral("pool.ini"));
        QVERIFY(writeMirrorsIni(path, entries));
        QVERIFY(pool.initDefault(path, 7));
    }

    QTemporaryDir dir;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        qsrandCompat(12345);
    }

    // A repeated name would be drawn as its second record but released as its first.
    void repeatedNameIsLoadedOnceAndCountsStayBalanced()
    {
        Mirrors pool(nullptr);
        fill(pool, {QStringLiteral("a"), QStringLiteral(" a "), QStringLiteral("b")});
        QCOMPARE(pool.getMirrorList().size(), 2);
        FTPSiteAccessData first, second;
        QCOMPARE(pool.getRandomMirror(first), int(MirrorAssigned));
        QCOMPARE(pool.getRandomMirror(second), int(MirrorAssigned));
        QVERIFY(first.name != second.name);
        pool.releaseMirror(first.name);
        pool.releaseMirror(second.name);
        int maxUse = 0, useCount = -1;
        pool.calcUseStats(maxUse, useCount);
        QCOMPARE(maxUse, 2);
        QCOMPARE(useCount, 0);
        for (const FTPSiteAccessData& site : pool.getMirrorList())
            QCOMPARE(site.useCount, 0);
    }

    void loadsListInOrderTrimmedWithoutEmptyNames()
    {
        const QString path = writeFile(QStringLiteral("mirrors.ini"),
                                       "[mirrors]\n"
                                       "1\\mirror=\"  first \"\n"
                                       "2\\mirror=\n"
                                       "3\\mirror=third\n"
                                       "size=3\n"
                                       "[first]\nurl=http://a.example/upd\n"
                                       "[third]\nurl=http://c.example/upd/\nretries=5\n");
        Mirrors pool(nullptr);
        QVERIFY(pool.initDefault(path, 1234));
        const QVector<FTPSiteAccessData>& list = pool.getMirrorList();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.at(0).name, QStringLiteral("first"));
        QCOMPARE(list.at(0).url, QStringLiteral("http://a.example/upd/1234"));
        QCOMPARE(list.at(1).name, QStringLiteral("third"));
        QCOMPARE(list.at(1).url, QStringLiteral("http://c.example/upd/1234"));
        QCOMPARE(list.at(1).retries, 5);
        QCOMPARE(list.at(1).timeoutTicks, 15);
        QCOMPARE(list.at(1).maxUse, 1);
        QCOMPARE(list.at(1).useCount, 0);
        QCOMPARE(list.at(1).errorCount, 0);
    }

    // Found by fuzzing: a huge "size" made loading loop for hours. Entries beyond "size"
    // still do not count, and index order decides, not the order in the file.
    void hugeSizeLoadsOnlyWhatIsThere()
    {
        const QString path = writeFile(QStringLiteral("mirrors.ini"),
                                       "[mirrors]\n"
                                       "10\\mirror=tenth\n"
                                       "2\\mirror=second\n"
                                       "size=2000000000\n");
        QElapsedTimer clock;
        clock.start();
        Mirrors pool(nullptr);
        QVERIFY(pool.initDefault(path, 1));
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(pool.getMirrorList().size(), 2);
        QCOMPARE(pool.getMirrorList().at(0).name, QStringLiteral("second"));

        const QString capped = writeFile(QStringLiteral("capped.ini"),
                                         "[mirrors]\n1\\mirror=one\n3\\mirror=beyond\nsize=2\n");
        Mirrors small(nullptr);
        QVERIFY(small.initDefault(capped, 1));
        QCOMPARE(small.getMirrorList().size(), 1);
    }

    void missingFileGivesEmptyPool()
    {
        Mirrors pool(nullptr);
        QVERIFY(pool.initDefault(dir.filePath(QStringLiteral("absent.ini")), 1));
        QVERIFY(pool.getMirrorList().isEmpty());
    }

    void urlAndRetries_data()
    {
        QTest::addColumn<QByteArray>("group");
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("retries");
        QTest::newRow("no url") << QByteArray("retries=3\n") << "/1234" << 3;
        QTest::newRow("no retries") << QByteArray("url=http://h/x\n") << "http://h/x/1234" << 2;
        QTest::newRow("retries 0") << QByteArray("url=http://h/x/\nretries=0\n") << "http://h/x/1234" << 2;
        QTest::newRow("retries text") << QByteArray("url=http://h\nretries=many\n") << "http://h/1234" << 2;
        QTest::newRow("retries negative") << QByteArray("url=http://h\nretries=-3\n") << "http://h/1234" << 2;
        QTest::newRow("retries beyond int") << QByteArray("url=http://h\nretries=3000000000\n") << "http://h/1234" << 2;
        QTest::newRow("retries beyond uint") << QByteArray("url=http://h\nretries=99999999999\n") << "http://h/1234" << 2;
        QTest::newRow("retries 5") << QByteArray("url=http://h\nretries=5\n") << "http://h/1234" << 5;
    }

    void urlAndRetries()
    {
        QFETCH(QByteArray, group);
        QFETCH(QString, url);
        QFETCH(int, retries);
        const QString path = writeFile(QStringLiteral("%1.ini").arg(QTest::currentDataTag()), "[mirrors]\n1\\mirror=m\nsize=1\n[m]\n" + group);
        Mirrors pool(nullptr);
        pool.initDefault(path, 1234);
        QCOMPARE(pool.getMirrorList().size(), 1);
        QCOMPARE(pool.getMirrorList().at(0).url, url);
        QCOMPARE(pool.getMirrorList().at(0).retries, retries);
    }

    void errorLimitFollowsRetries_data()
    {
        QTest::addColumn<QString>("retries");
        QTest::addColumn<int>("errorsToDrop");
        QTest::newRow("default") << QString() << 3;
        QTest::newRow("5") << QStringLiteral("5") << 6;
    }

    void errorLimitFollowsRetries()
    {
        QFETCH(QString, retries);
        QFETCH(int, errorsToDrop);
        const QString path = dir.filePath(QStringLiteral("limit.ini"));
        QVERIFY(writeMirrorsIni(path, {{QStringLiteral("m"), QStringLiteral("http://h"), retries}}));
        Mirrors pool(nullptr);
        pool.initDefault(path, 1);
        QSignalSpy messages(&pool, &Mirrors::message);
        for (int i = 1; i < errorsToDrop; ++i)
            pool.addMirrorError(QStringLiteral("m"));
        QCOMPARE(pool.getMirrorIndex(QStringLiteral("m")), 0);
        QCOMPARE(messages.count(), 0);
        pool.addMirrorError(QStringLiteral("m"));
        QCOMPARE(pool.getMirrorIndex(QStringLiteral("m")), -1);
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Mirror m failed too many times, removing"));
    }

    void alphaRecord()
    {
        const QString path = writeFile(QStringLiteral("update.ini"), "[Channel]\nalpha=http://alpha.example/a\n");
        Mirrors pool(nullptr);
        QVERIFY(pool.initAlpha(path, 99));
        QCOMPARE(pool.getMirrorList().size(), 1);
        const FTPSiteAccessData& site = pool.getMirrorList().at(0);
        QCOMPARE(site.name, QStringLiteral("Alpha Channel"));
        QCOMPARE(site.url, QStringLiteral("http://alpha.example/a/99"));
        QCOMPARE(site.retries, 4);
        for (int i = 0; i < 4; ++i)
            pool.addMirrorError(site.name);
        QCOMPARE(pool.getMirrorList().size(), 1);
        pool.addMirrorError(QStringLiteral("Alpha Channel"));
        QVERIFY(pool.getMirrorList().isEmpty());
    }

    void missingAlphaIsFatal()
    {
        const QString path = writeFile(QStringLiteral("update_noalpha.ini"), "[Channel]\nbeta=x\n");
        Mirrors pool(nullptr);
        QSignalSpy fatal(&pool, &Mirrors::fatalError);
        QVERIFY(!pool.initAlpha(path, 99));
        QCOMPARE(fatal.count(), 1);
        QCOMPARE(fatal.at(0).at(0).toString(),
                 QStringLiteral("Alpha parameter in channel section in update ini file not found"));
        QVERIFY(pool.getMirrorList().isEmpty());
    }

    void weightedChoiceSplitsEvenly()
    {
        Mirrors pool(nullptr);
        fill(pool, {QStringLiteral("a"), QStringLiteral("b")});
        const int draws = 4000;
        int a = 0;
        for (int i = 0; i < draws; ++i) {
            FTPSiteAccessData out;
            QCOMPARE(pool.getRandomMirror(out), int(MirrorAssigned));
            QCOMPARE(out.useCount, 1);
            if (out.name == QLatin1String("a"))
                ++a;
            pool.releaseMirror(out.name);
        }
        // The generator is seeded, so this is repeatable; the band is ten standard deviations wide.
        QVERIFY2(a > 1700 && a < 2300, qPrintable(QString::number(a)));
    }

    void takenMirrorLeavesTheOtherThenBusy()
    {
        for (int round = 0; round < 20; ++round) {
            Mirrors pool(nullptr);
            fill(pool, {QStringLiteral("a"), QStringLiteral("b")});
            QSignalSpy messages(&pool, &Mirrors::message);
            FTPSiteAccessData first, second, third;
            QCOMPARE(pool.getRandomMirror(first), int(MirrorAssigned));
            QCOMPARE(pool.getRandomMirror(second), int(MirrorAssigned));
            QVERIFY(first.name != second.name);
            QCOMPARE(pool.getRandomMirror(third), int(MirrorsBusy));
            pool.releaseMirror(first.name);
            QCOMPARE(pool.getRandomMirror(third), int(MirrorAssigned));
            QCOMPARE(third.name, first.name);
            int maxUse = 0, useCount = 0;
            pool.calcUseStats(maxUse, useCount);
            QCOMPARE(maxUse, 2);
            QCOMPARE(useCount, 2);
            QCOMPARE(messages.count(), 0);
        }
    }

    // A retry that wants another mirror gets one while any other has a free slot.
    void avoidedMirrorIsTheLastResort()
    {
        Mirrors pool(nullptr);
        fill(pool, {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
        const QStringList avoid{QStringLiteral("a"), QStringLiteral("c")};
        for (int i = 0; i < 50; ++i) {
            FTPSiteAccessData out;
            QCOMPARE(pool.getRandomMirror(out, avoid), int(MirrorAssigned));
            QCOMPARE(out.name, QStringLiteral("b"));
            pool.releaseMirror(out.name);
        }
        FTPSiteAccessData held, fallback, none;
        QCOMPARE(pool.getRandomMirror(held, avoid), int(MirrorAssigned));
        QCOMPARE(pool.getRandomMirror(fallback, avoid), int(MirrorAssigned));
        QVERIFY(avoid.contains(fallback.name));
        QCOMPARE(pool.getRandomMirror(none, avoid), int(MirrorAssigned));
        QCOMPARE(pool.getRandomMirror(none, avoid), int(MirrorsBusy));
    }

    void emptyPoolReportsOnce()
    {
        Mirrors pool(nullptr);
        QSignalSpy messages(&pool, &Mirrors::message);
        FTPSiteAccessData out;
        QCOMPARE(pool.getRandomMirror(out), int(MirrorsExhausted));
        QCOMPARE(pool.getRandomMirror(out), int(MirrorsExhausted));
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(),
                 QStringLiteral("There are no (more) known working mirrors available"));
    }

    void unknownNamesChangeNothing()
    {
        Mirrors pool(nullptr);
        fill(pool, {QStringLiteral("a"), QStringLiteral("b")});
        FTPSiteAccessData out;
        QCOMPARE(pool.getRandomMirror(out), int(MirrorAssigned));
        QSignalSpy messages(&pool, &Mirrors::message);
        const QVector<FTPSiteAccessData> before = pool.getMirrorList();
        for (int i = 0; i < 5; ++i) {
            pool.releaseMirror(QStringLiteral("A"));
            pool.releaseMirror(QString());
            pool.addMirrorError(QStringLiteral("c"));
            pool.removeMirror(QStringLiteral("b "));
        }
        QCOMPARE(messages.count(), 0);
        const QVector<FTPSiteAccessData>& after = pool.getMirrorList();
        QCOMPARE(after.size(), before.size());
        for (int i = 0; i < after.size(); ++i) {
            QCOMPARE(after.at(i).name, before.at(i).name);
            QCOMPARE(after.at(i).useCount, before.at(i).useCount);
            QCOMPARE(after.at(i).errorCount, before.at(i).errorCount);
        }
    }

    void removeThenErrorDoesNothingFurther()
    {
        Mirrors pool(nullptr);
        fill(pool, {QStringLiteral("a"), QStringLiteral("b")});
        QSignalSpy messages(&pool, &Mirrors::message);
        pool.addMirrorError(QStringLiteral("a"));
        pool.removeMirror(QStringLiteral("a"));
        QCOMPARE(pool.getMirrorIndex(QStringLiteral("a")), -1);
        for (int i = 0; i < 5; ++i)
            pool.addMirrorError(QStringLiteral("a"));
        QCOMPARE(messages.count(), 0);
        QCOMPARE(pool.getMirrorList().size(), 1);
        QCOMPARE(pool.getMirrorList().at(0).errorCount, 0);
        // A removed mirror is never handed out again.
        for (int i = 0; i < 20; ++i) {
            FTPSiteAccessData out;
            QCOMPARE(pool.getRandomMirror(out), int(MirrorAssigned));
            QCOMPARE(out.name, QStringLiteral("b"));
            pool.releaseMirror(out.name);
        }
    }
};

QTEST_GUILESS_MAIN(tst_Mirrors)
#include "tst_mirrors.moc"

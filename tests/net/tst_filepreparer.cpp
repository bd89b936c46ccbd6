#include "net/filepreparer.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <unistd.h>

class tst_FilePreparer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The files a download list will write, made ahead: each new and empty, handed out once,
    // the ones nobody took removed at the end.
    void preparesInOrderAndHandsOutOnce()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkpath("d"));
        const QString stale = dir.filePath("d/stale");
        QVERIFY(writeTestFile(stale, "installed bytes"));
        // The installation holds the stale copy under a second name: it must keep its bytes.
        QVERIFY(::link(qPrintable(stale), qPrintable(dir.filePath("installed"))) == 0);
        const QStringList names{"d/stale", "d/new", "missing/x", "d/untaken"};
        QStringList paths;
        for (const QString& name : names)
            paths.append(dir.filePath(name));

        auto preparer = std::make_unique<FilePreparer>(dir.path(), names);
        QTRY_VERIFY(QFileInfo::exists(paths[3]));

        QVERIFY(preparer->take(0));
        QCOMPARE(QFileInfo(stale).size(), 0);
        QCOMPARE(readTestFile(dir.filePath("installed")), QByteArray("installed bytes"));
        QVERIFY(!preparer->take(0));
        QVERIFY(preparer->take(1));
        // Not creatable: left to the download, which reports it.
        QVERIFY(!preparer->take(2));
        QVERIFY(!preparer->take(-1));
        QVERIFY(!preparer->take(4));

        preparer.reset();
        QVERIFY(QFileInfo::exists(paths[0]));
        QVERIFY(QFileInfo::exists(paths[1]));
        QVERIFY(!QFileInfo::exists(paths[3]));
    }

    // A download may get to its file before the preparer: then the preparer leaves it, and
    // what the download wrote there stays. What the preparer made and nobody took is gone
    // after it.
    void leavesWhatWasTakenFirst()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QStringList names, paths;
        for (int i = 0; i < 3000; ++i) {
            names.append(QStringLiteral("f%1").arg(i));
            paths.append(dir.filePath(names.last()));
        }

        auto preparer = std::make_unique<FilePreparer>(dir.path(), names);
        QHash<int, bool> taken;
        for (int i = paths.size() - 50; i >= 0; i -= 100) {
            taken[i] = preparer->take(i);
            if (!taken[i])
                QVERIFY(writeTestFile(paths[i], "downloaded"));
        }
        QTRY_VERIFY(QFileInfo::exists(paths.last()));
        preparer.reset();

        for (int i = 0; i < paths.size(); ++i) {
            if (!taken.contains(i))
                QVERIFY2(!QFileInfo::exists(paths[i]), qPrintable(paths[i]));
            else
                QCOMPARE(readTestFile(paths[i]), taken[i] ? QByteArray() : QByteArray("downloaded"));
        }
    }
};

QTEST_GUILESS_MAIN(tst_FilePreparer)
#include "tst_filepreparer.moc"

#include "core/configuration.h"
#include "support/testfiles.h"
#include "update/makedownloadreplacelisttaskspecification.h"
#include "update/resumerecord.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

namespace {



const QByteArray newContent = "new content of the file";
const QByteArray oldContent = "old content";
const QByteArray gzContent = "pretend this is gzip data";

} // namespace

class tst_MakeDownloadReplaceListTaskSpecification : public QObject
{
    Q_OBJECT

private:
    // base/install is the installation root, base/work the working directory; base/outside
    // exists so that a path escaping either of them would find a file.
    std::unique_ptr<QTemporaryDir> base;
    Configuration config;

    QString installPath(const QString& rel) const { return base->path() + "/install/" + rel; }
    QString workPath(const QString& rel) const { return base->path() + "/work/" + rel; }
    bool writeIni(const QByteArray& text) const { return writeTestFile(workPath("client.ini"), text); }

    struct Result
    {
        int state = StateIdle;
        QStringList messages;
    };

    Result runTask(FileSpecifications& target)
    {
        Result result;
        MakeDownloadReplaceListTaskSpecification task(&config, target, nullptr, 0.05);
        connect(&task, &TaskSpecification::message, this, [&](const QString& m) { result.messages << m; });
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        if (QTest::qWaitFor([&] { return finished.count() + canceled.count() > 0; }, 10000))
            result.state = task.getState();
        return result;
    }

private Q_SLOTS:
    void init()
    {
        base = std::make_unique<QTemporaryDir>();
        QVERIFY(base->isValid());
        QVERIFY(QDir(base->path()).mkpath("install"));
        QVERIFY(QDir(base->path()).mkpath("work"));
        QVERIFY(writeTestFile(base->path() + "/outside", "not ours"));
        Configuration::setAppRootPath(base->path() + "/install");
        config.tempDir = base->path() + "/work";
        config.clientType = "client";
    }

    void cleanup()
    {
        Configuration::setAppRootPath(QString());
        base.reset();
    }

    void isSafeRelativePath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("safe");
        QTest::newRow("bare name") << "update" << true;
        QTest::newRow("subdirectory") << "plugins/imageformats/libqgif.so" << true;
        QTest::newRow("dots inside a name") << "lib..x/..so" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("absolute") << "/etc/passwd" << false;
        QTest::newRow("parent") << "../outside" << false;
        QTest::newRow("parent in the middle") << "plugins/../../outside" << false;
        QTest::newRow("parent at the end") << "plugins/.." << false;
        QTest::newRow("current dir") << "." << false;
        QTest::newRow("current dir component") << "./update" << false;
        QTest::newRow("empty component") << "plugins//libx.so" << false;
        QTest::newRow("trailing slash") << "plugins/" << false;
        QTest::newRow("backslash") << "..\\outside" << false;
        QTest::newRow("control character") << QString("a") + QChar(0) + "/.." << false;
        QTest::newRow("newline") << "a\nb" << false;
    }

    void isSafeRelativePath()
    {
        QFETCH(QString, path);
        QFETCH(bool, safe);
        QCOMPARE(MakeDownloadReplaceListFunc::isSafeRelativePath(path), safe);
    }

    void getFileCountCountsNestedAndDeleteKeys()
    {
        QVERIFY(writeIni("top=1\n"
                         "[General]\ngeneral=1\n"
                         "[files]\nupdate=x::1\nplugins/libx.so=x::1\nplugins\\sub\\liby.so=x::1\n"
                         "[delete]\nold.so=\n"));
        QSettings settings(workPath("client.ini"), QSettings::IniFormat);
        QCOMPARE(MakeDownloadReplaceListFunc::getFileCount(settings), 4);
    }

    // installed: 0 missing, 1 current, 2 outdated; working copy: 0 missing, 1 current, 2 corrupt
    void decisionTable_data()
    {
        QTest::addColumn<bool>("compressed");
        QTest::addColumn<int>("installed");
        QTest::addColumn<int>("working");
        QTest::addColumn<bool>("replace");
        QTest::addColumn<bool>("download");
        QTest::newRow("plain current, no copy") << false << 1 << 0 << false << false;
        QTest::newRow("plain current, corrupt copy") << false << 1 << 2 << false << false;
        QTest::newRow("plain missing, no copy") << false << 0 << 0 << true << true;
        QTest::newRow("plain missing, good copy") << false << 0 << 1 << true << false;
        QTest::newRow("plain outdated, good copy") << false << 2 << 1 << true << false;
        QTest::newRow("plain outdated, corrupt copy") << false << 2 << 2 << true << true;
        QTest::newRow("gz current, no copy") << true << 1 << 0 << false << false;
        QTest::newRow("gz outdated, good copy") << true << 2 << 1 << true << false;
        QTest::newRow("gz missing, corrupt copy") << true << 0 << 2 << true << true;
        // Not a file: never read, so a FIFO cannot block the phase.
        QTest::newRow("plain, a FIFO in its place") << false << 3 << 0 << true << true;
        QTest::newRow("plain, a directory in its place") << false << 4 << 0 << true << true;
    }

    void decisionTable()
    {
        QFETCH(bool, compressed);
        QFETCH(int, installed);
        QFETCH(int, working);
        QFETCH(bool, replace);
        QFETCH(bool, download);

        // The download is gzContent (compressed) or newContent (plain); installed is newContent.
        const QByteArray downloaded = compressed ? gzContent : newContent;
        const QString key = compressed ? "pkg/libx.so.gz" : "plugins/libx.so";
        const QString installedAs = compressed ? "lib/libx.so" : key;
        QByteArray value = md5Hex(downloaded).toUpper().toLatin1() + "::" + QByteArray::number(downloaded.size());
        if (compressed)
            value += "::" + md5Hex(newContent).toLatin1() + "::" + QByteArray::number(newContent.size()) + "::" +
                     installedAs.toLatin1();
        QVERIFY(writeIni("[files]\n" + key.toLatin1() + "=" + value + "\n"));
        const QString installedPath = installPath(installedAs);
        if (installed >= 3) {
            QVERIFY(QDir().mkpath(QFileInfo(installedPath).path()));
            QVERIFY(installed == 3 ? ::mkfifo(qPrintable(installedPath), 0600) == 0 : QDir().mkdir(installedPath));
        } else if (installed) {
            QVERIFY(writeTestFile(installedPath, installed == 1 ? newContent : oldContent));
        }
        if (working)
            QVERIFY(writeTestFile(workPath(key), working == 1 ? downloaded : QByteArray("garbage")));

        FileSpecifications target;
        const Result result = runTask(target);
        QCOMPARE(result.state, int(StateFinished));
        QCOMPARE(target.replaceList.size(), replace ? 1 : 0);
        QCOMPARE(target.downloadList.size(), download ? 1 : 0);
        QVERIFY(target.deleteList.isEmpty());
        if (replace)
            QCOMPARE(target.replaceList[0].pureDestFilePath(), installedAs);
        if (download)
            QCOMPARE(target.downloadList[0].filePath, key);
    }

    // A kill leaves part of a download behind. The next run continues it only when the record
    // of the run that began it lists the file as the product ini does now.
    void partialDownloadIsContinuedOnlyAsRecorded_data()
    {
        QTest::addColumn<QString>("change"); // between the two runs
        QTest::addColumn<bool>("continued");
        QTest::newRow("none") << "" << true;
        QTest::newRow("another version") << "version" << false;
        QTest::newRow("another MD5 listed") << "md5" << false;
        QTest::newRow("another size listed") << "size" << false;
        QTest::newRow("longer than listed") << "longer" << false;
        QTest::newRow("record gone") << "record" << false;
    }

    void partialDownloadIsContinuedOnlyAsRecorded()
    {
        QFETCH(QString, change);
        QFETCH(bool, continued);
        const QByteArray content = randomTestData(1000, 1);
        // Settings are read again only from a file whose size or time changed: each listing
        // gets a time of its own.
        int listings = 0;
        const auto list = [&](const QByteArray& data, qint64 size) {
            QFile ini(workPath("client.ini"));
            return writeIni("[files]\ndata/f.bin=" + md5Hex(data).toLatin1() + "::" + QByteArray::number(size) + "\n")
                && ini.open(QIODevice::ReadWrite)
                && ini.setFileTime(QDateTime::currentDateTime().addSecs(++listings), QFileDevice::FileModificationTime);
        };
        config.clientVersion = 5;
        QVERIFY(list(content, content.size()));
        FileSpecifications first;
        QCOMPARE(runTask(first).state, int(StateFinished));
        QCOMPARE(first.downloadList.value(0).partialSize, qint64(0));

        QVERIFY(writeTestFile(workPath("data/f.bin"), change == "longer" ? content + "x" : content.left(600)));
        if (change == "version")
            config.clientVersion = 6;
        else if (change == "md5")
            QVERIFY(list(randomTestData(1000, 2), content.size()));
        else if (change == "size")
            QVERIFY(list(content, content.size() + 1));
        else if (change == "record")
            QVERIFY(QFile::remove(ResumeRecord::path(config.tempDir, config.clientType)));
        FileSpecifications next;
        QCOMPARE(runTask(next).state, int(StateFinished));
        QCOMPARE(next.downloadList.size(), 1);
        QCOMPARE(next.downloadList[0].partialSize, qint64(continued ? 600 : 0));
    }

    // A kill after a file was installed leaves its old copy; a later run that finds the
    // file current removes that copy, except a special file's, which start-up removes.
    void oldCopyOfCurrentFileIsDeleted_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("current");
        QTest::addColumn<QString>("expectedDelete");
        QTest::newRow("current file") << "plugins/libx.so" << true << "plugins/_old_libx.so";
        QTest::newRow("outdated file: the replace step handles it") << "plugins/libx.so" << false << "";
        QTest::newRow("special file") << "update" << true << "";
    }

    void oldCopyOfCurrentFileIsDeleted()
    {
        QFETCH(QString, path);
        QFETCH(bool, current);
        QFETCH(QString, expectedDelete);
        QVERIFY(writeIni("[files]\n" + path.toLatin1() + "=" + md5Hex(newContent).toLatin1() + "::"
                         + QByteArray::number(newContent.size()) + "\n"));
        QVERIFY(writeTestFile(installPath(path), current ? newContent : oldContent));
        FileReplaceSpecification entry;
        entry.filePath = path;
        QVERIFY(writeTestFile(installPath(entry.oldDestFileName()), oldContent));
        FileSpecifications target;
        QCOMPARE(runTask(target).state, int(StateFinished));
        QCOMPARE(target.deleteList, expectedDelete.isEmpty() ? QList<QString>() : QList<QString>{expectedDelete});
    }

    void compressedEntryIsCheckedAtItsInstalledPath()
    {
        // A file under the key's own name in the installation matches field 1, but the
        // decompressed file is missing: it must still be installed.
        QVERIFY(writeIni("[files]\npkg/libx.so.gz=" + md5Hex(gzContent).toLatin1() + "::25::" +
                         md5Hex(newContent).toLatin1() + "::23::lib/libx.so\n"));
        QVERIFY(writeTestFile(installPath("pkg/libx.so.gz"), gzContent));
        FileSpecifications target;
        QCOMPARE(runTask(target).state, int(StateFinished));
        QCOMPARE(target.replaceList.size(), 1);
        QCOMPARE(target.downloadList.size(), 1);
    }

    void recordsCarryTheFields()
    {
        const QString md5a = md5Hex("a"), md5b = md5Hex("b");
        QVERIFY(writeIni(("[files]\n"
                          "plugins\\libz.so.gz=" + md5a + "::1234::" + md5b + "::5678::plugins/libz.so\n"
                          "update=" + md5b + "::notanumber\n"
                          "[more]\n"
                          "lib/a,b.so=" + md5a + "::1::" + md5b + "::2::lib/a,b.so\n").toLatin1()));
        FileSpecifications target;
        QCOMPARE(runTask(target).state, int(StateFinished));

        // Sections and keys in the reader's sorted order.
        QCOMPARE(target.downloadList.size(), 3);
        QCOMPARE(target.replaceList.size(), 3);
        const FileDownloadSpecification& gzDownload = target.downloadList[0];
        QCOMPARE(gzDownload.section, QString("files"));
        QCOMPARE(gzDownload.filePath, QString("plugins/libz.so.gz"));
        QCOMPARE(gzDownload.md5Sum, md5a);
        QCOMPARE(gzDownload.size, qint64(1234));
        const FileReplaceSpecification& gz = target.replaceList[0];
        QCOMPARE(gz.section, QString("files"));
        QCOMPARE(gz.filePath, QString("plugins/libz.so.gz"));
        QCOMPARE(gz.unzipMd5Sum, md5b);
        QCOMPARE(gz.unzipSize, quint64(5678));
        QCOMPARE(gz.unzipFilePath, QString("plugins/libz.so"));

        QCOMPARE(target.downloadList[1].filePath, QString("update"));
        QCOMPARE(target.downloadList[1].size, qint64(0));
        QVERIFY(!target.replaceList[1].hasUnzip());
        QCOMPARE(target.replaceList[1].unzipSize, quint64(0));

        // The reader splits an unquoted value at commas; the file name survives.
        QCOMPARE(target.replaceList[2].section, QString("more"));
        QCOMPARE(target.replaceList[2].unzipFilePath, QString("lib/a,b.so"));
    }

    void invalidEntryFailsTheWholePhase_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("section");
        const QByteArray good = "a_good=" + md5Hex("x").toLatin1() + "::1\n";
        const QByteArray sums = md5Hex("x").toLatin1() + "::1::" + md5Hex("y").toLatin1() + "::1::";
        QTest::newRow("three fields") << "[files]\n" + good + "b_bad=" + md5Hex("x").toLatin1() + "::1::\n"
                                      << "files";
        QTest::newRow("one field") << "[files]\n" + good + "b_bad=" + md5Hex("x").toLatin1() + "\n" << "files";
        QTest::newRow("six fields") << "[files]\n" + good + "b_bad=" + sums + "x::y\n" << "files";
        QTest::newRow("Delete is a file section") << "[Delete]\nold.so=\n[files]\n" + good << "Delete";
        // Paths that would reach outside the working directory or the installation.
        QTest::newRow("key with ..") << "[files]\n" + good + "../outside=" + md5Hex("x").toLatin1() + "::1\n"
                                     << "files";
        QTest::newRow("key with backslashed ..")
            << "[files]\n" + good + "..\\outside=" + md5Hex("x").toLatin1() + "::1\n" << "files";
        QTest::newRow("key with escaped ..")
            << "[files]\n" + good + "%2E%2E/outside=" + md5Hex("x").toLatin1() + "::1\n" << "files";
        QTest::newRow("absolute key") << "[files]\n" + good + "/tmp/x=" + md5Hex("x").toLatin1() + "::1\n"
                                      << "files";
        QTest::newRow("key with empty component")
            << "[files]\n" + good + "b//c=" + md5Hex("x").toLatin1() + "::1\n" << "files";
        QTest::newRow("key with trailing slash")
            << "[files]\n" + good + "b/=" + md5Hex("x").toLatin1() + "::1\n" << "files";
        QTest::newRow("key .") << "[files]\n" + good + ".=" + md5Hex("x").toLatin1() + "::1\n" << "files";
        QTest::newRow("unzip path with ..") << "[files]\n" + good + "b.gz=" + sums + "../outside\n" << "files";
        QTest::newRow("absolute unzip path") << "[files]\n" + good + "b.gz=" + sums + "/tmp/outside\n" << "files";
        QTest::newRow("unzip path with backslash") << "[files]\n" + good + "b.gz=" + sums + "lib\\\\x\n" << "files";
        QTest::newRow("delete key with ..") << "[delete]\n../outside=\n[files]\n" + good << "delete";
        QTest::newRow("absolute delete key") << "[delete]\n%2Fetc%2Fpasswd=\n[files]\n" + good << "delete";
        QTest::newRow("delete key .") << "[delete]\n.=\n[files]\n" + good << "delete";
    }

    void invalidEntryFailsTheWholePhase()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, section);
        QVERIFY(writeIni(ini));
        FileSpecifications target;
        target.deleteList << "sentinel";
        const Result result = runTask(target);
        QCOMPARE(result.state, int(StateErrorCanceled));
        QCOMPARE(result.messages.last(), QString("Warning: product ini contains invalid line in section %1").arg(section));
        // Nothing is handed on, not even the entries before the bad line.
        QVERIFY(target.downloadList.isEmpty());
        QVERIFY(target.replaceList.isEmpty());
        QCOMPARE(target.deleteList, QStringList{"sentinel"});
        QVERIFY(QFileInfo::exists(base->path() + "/outside"));
    }

    void noFilesInProductIni_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("present");
        QTest::newRow("missing file") << QByteArray() << false;
        QTest::newRow("empty file") << QByteArray() << true;
        QTest::newRow("only keys outside sections") << QByteArray("top=1\n[General]\nupdate=x::1\n") << true;
        QTest::newRow("empty sections") << QByteArray("[files]\n[delete]\n") << true;
    }

    void noFilesInProductIni()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, present);
        if (present)
            QVERIFY(writeIni(ini));
        FileSpecifications target;
        const Result result = runTask(target);
        QCOMPARE(result.state, int(StateErrorCanceled));
        QCOMPARE(result.messages,
                 QStringList({"Compiling download and replace list", "No files in product ini"}));
    }

    void onlyDeleteKeys()
    {
        QVERIFY(writeIni("[delete]\nold/libx.so=\nmissing.so=\nupdate=whatever\n"));
        QVERIFY(writeTestFile(installPath("old/libx.so"), oldContent));
        QVERIFY(writeTestFile(installPath("update"), oldContent));
        FileSpecifications target;
        QCOMPARE(runTask(target).state, int(StateFinished));
        QVERIFY(target.downloadList.isEmpty());
        QVERIFY(target.replaceList.isEmpty());
        QCOMPARE(target.deleteList, QStringList({"old/libx.so", "update"}));
    }

    void pathInReplaceAndDeleteList()
    {
        QVERIFY(writeIni("[delete]\nupdate=\n[files]\nupdate=" + md5Hex(newContent).toLatin1() + "::23\n"));
        QVERIFY(writeTestFile(installPath("update"), oldContent));
        FileSpecifications target;
        QCOMPARE(runTask(target).state, int(StateFinished));
        QCOMPARE(target.replaceList.size(), 1);
        QCOMPARE(target.replaceList[0].filePath, QString("update"));
        QCOMPARE(target.deleteList, QStringList{"update"});
    }

    void emptyMd5FallsBackToSignatureCheck()
    {
        // Without a ".sig" next to the files nothing can match: both lists.
        QVERIFY(writeIni("[files]\nupdate=::23\n"));
        QVERIFY(writeTestFile(installPath("update"), newContent));
        QVERIFY(writeTestFile(workPath("update"), newContent));
        FileSpecifications target;
        QCOMPARE(runTask(target).state, int(StateFinished));
        QCOMPARE(target.replaceList.size(), 1);
        QCOMPARE(target.downloadList.size(), 1);
    }

    void progressOncePerKeyBeforeItIsExamined_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QList<qreal>>("expected");
        QTest::addColumn<bool>("ok");
        const QByteArray entry = "=" + md5Hex("x").toLatin1() + "::1\n";
        QTest::newRow("all valid") << "[delete]\nd1=\nd2=\n[files]\na" + entry + "b" + entry + "c" + entry
                                   << QList<qreal>{0.2, 0.4, 0.6, 0.8, 1.0} << true;
        QTest::newRow("stops at the bad key") << "[files]\na" + entry + "b=bad\nc" + entry + "d" + entry
                                              << QList<qreal>{0.25, 0.5} << false;
    }

    void progressOncePerKeyBeforeItIsExamined()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QList<qreal>, expected);
        QFETCH(bool, ok);
        QVERIFY(writeIni(ini));
        FileSpecifications lists;
        MakeDownloadReplaceListFunc func(&config, lists);
        QList<qreal> reported;
        connect(&func, &ASyncFunc::progress, this, [&](qreal p) { reported << p; });
        QCOMPARE(func.run(), ok);
        QCOMPARE(reported.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i)
            QCOMPARE(reported[i], expected[i]);
        if (!ok)
            QVERIFY(lists.downloadList.isEmpty());
    }

    void taskWeightsTheProgress()
    {
        QVERIFY(writeIni("[files]\na=" + md5Hex("x").toLatin1() + "::1\nb=" + md5Hex("x").toLatin1() + "::1\n"));
        FileSpecifications target;
        MakeDownloadReplaceListTaskSpecification task(&config, target, nullptr, 0.05);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        QVERIFY(finished.wait(10000));
        // One report per key from the worker, then the finish.
        QCOMPARE(progress.count(), 3);
        QCOMPARE(progress[0][0].toReal(), 0.025);
        QCOMPARE(progress[1][0].toReal(), 0.05);
        QCOMPARE(task.getProgress(), 0.05);
    }
};

QTEST_GUILESS_MAIN(tst_MakeDownloadReplaceListTaskSpecification)
#include "tst_makedownloadreplacelisttaskspecification.moc"

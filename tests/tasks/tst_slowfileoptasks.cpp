#include "support/testfiles.h"
#include "tasks/filecopytaskspecification.h"
#include "tasks/fileunziptaskspecification.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Runs a task to its end; false if it never ends. Work on the pool ends through
// the event loop; endedInExecute tells whether it ended within execute() instead.
bool runToEnd(TaskSpecification& task, bool* endedInExecute = nullptr)
{
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    const bool ended = finished.count() + canceled.count() == 1;
    if (endedInExecute)
        *endedInExecute = ended;
    if (!ended && task.getState() != StateRunning)
        return false;
    return QTest::qWaitFor([&] { return finished.count() + canceled.count() == 1; }, 20000);
}

QByteArray sampleText(int size, quint32 seed)
{
    static const char* words[] = {"quorvel ", "update ", "mirror ", "journal ", "rollback ", "zlib\n", "0x1f8b "};
    QRandomGenerator generator(seed);
    QByteArray text;
    text.reserve(size + 16);
    while (text.size() < size)
        text += words[generator.bounded(int(std::size(words)))];
    text.truncate(size);
    return text;
}
}

class tst_SlowFileOpTasks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void unzip_data();
    void unzip();
    void unzipRoundTripsDataBiggerThanItsBuffer();
    void unzipRefusesExistingDestination();
    void copyWritesAndJournals();
    void disposableSourceGivesItsFile_data();
    void disposableSourceGivesItsFile();
    void copyRefusesExistingDestination_data();
    void copyRefusesExistingDestination();
    void copyOfMissingSourceCreatesNothing();
    void copyOntoFullDiskSaysWhy();
    void nullJournalStillWorks();

private:
    QString p(const QString& rel) const { return dir->filePath(rel); }
    QScopedPointer<QTemporaryDir> dir;
};

void tst_SlowFileOpTasks::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

void tst_SlowFileOpTasks::unzip_data()
{
    QTest::addColumn<QByteArray>("source"); // null: no source file
    QTest::addColumn<QByteArray>("expected"); // null: the unpack fails
    QTest::addColumn<QString>("reason");      // logged after the failure; %1 = the source

    const QByteArray text = sampleText(100000, 1);
    const QByteArray packed = gzipData(text);
    QByteArray badCrc = packed;
    badCrc[badCrc.size() - 8] = char(badCrc.at(badCrc.size() - 8) ^ 0x55);

    const QString damaged = QStringLiteral("the compressed data ends early or is damaged");
    QTest::newRow("gzip") << packed << text << QString();
    QTest::newRow("empty gzip") << gzipData(QByteArray()) << QByteArray("") << QString();
    QTest::newRow("plain data passes through") << text << text << QString();
    QTest::newRow("truncated in the data") << packed.left(packed.size() / 2) << QByteArray() << damaged;
    // Every byte of data is there; only the trailer is cut, which gzread does not report.
    QTest::newRow("truncated trailer") << packed.left(packed.size() - 4) << QByteArray() << damaged;
    QTest::newRow("wrong checksum") << badCrc << QByteArray() << "%1: incorrect data check";
    QTest::newRow("missing source") << QByteArray() << QByteArray() << "No such file or directory";
}

void tst_SlowFileOpTasks::unzip()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, expected);
    QFETCH(QString, reason);

    if (!source.isNull())
        QVERIFY(writeTestFile(p("download.gz"), source));
    RollbackDataList journal;
    FileUnzipTaskSpecification task(&journal, p("download.gz"), p("installed"), nullptr, 0.6);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QVERIFY(runToEnd(task));

    if (expected.isNull()) {
        QCOMPARE(task.getState(), int(StateErrorCanceled));
        QCOMPARE(messages.count(), 2);
        QCOMPARE(messages.at(0).at(0).toString(),
                 QStringLiteral("Could not unzip '%1' to '%2'").arg(p("download.gz"), p("installed")));
        QCOMPARE(messages.at(1).at(0).toString(), QStringLiteral("Reason: ") + reason.arg(p("download.gz")));
        QVERIFY(!QFileInfo::exists(p("installed")));
        QVERIFY(journal.isEmpty());
        QCOMPARE(task.getProgress(), 0.0);
    } else {
        QCOMPARE(task.getState(), int(StateFinished));
        QCOMPARE(messages.count(), 0);
        QCOMPARE(readTestFile(p("installed")), expected);
        QCOMPARE(journal.size(), 1);
        QCOMPARE(journal.getEntries().at(0).getOperation(), RollbackData::CreateFile);
        QCOMPARE(journal.getEntries().at(0).getPath(), p("installed"));
        QCOMPARE(task.getProgress(), 0.6);
    }
}

void tst_SlowFileOpTasks::unzipRoundTripsDataBiggerThanItsBuffer()
{
    // Random bytes do not compress, so the stream itself spans many buffers too.
    QByteArray data = randomTestData(3 * 1024 * 1024, 7);
    data += sampleText(3 * 1024 * 1024, 2);
    QVERIFY(writeGzipTestFile(p("big.gz"), data));
    QVERIFY(QFileInfo(p("big.gz")).size() > 100 * 16384);

    RollbackDataList journal;
    FileUnzipTaskSpecification task(&journal, p("big.gz"), p("big"), nullptr, 1.0);
    QVERIFY(runToEnd(task));
    QCOMPARE(task.getState(), int(StateFinished));
    QCOMPARE(md5Hex(readTestFile(p("big"))), md5Hex(data));
}

// Whatever is at the destination is not the unpack's to overwrite, nor to delete when it
// fails.
void tst_SlowFileOpTasks::unzipRefusesExistingDestination()
{
    QVERIFY(writeGzipTestFile(p("download.gz"), "new content"));
    QVERIFY(writeTestFile(p("installed"), "installed content"));
    RollbackDataList journal;
    FileUnzipTaskSpecification task(&journal, p("download.gz"), p("installed"), nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QVERIFY(runToEnd(task));

    QCOMPARE(task.getState(), int(StateErrorCanceled));
    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(1).at(0).toString(), QStringLiteral("Reason: File exists"));
    QCOMPARE(readTestFile(p("installed")), QByteArray("installed content"));
    QVERIFY(journal.isEmpty());
}

void tst_SlowFileOpTasks::copyWritesAndJournals()
{
    const QByteArray data = sampleText(200000, 3);
    QVERIFY(writeTestFile(p("download"), data));
    const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::ReadOther | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
    QVERIFY(QFile::setPermissions(p("download"), mode));
    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, p("download"), p("installed"), nullptr, 0.9);
    QVERIFY(runToEnd(task));

    QCOMPARE(task.getState(), int(StateFinished));
    QCOMPARE(readTestFile(p("installed")), data);
    QCOMPARE(QFile::permissions(p("installed")), mode);
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal.getEntries().at(0).getOperation(), RollbackData::CreateFile);
    QCOMPARE(journal.getEntries().at(0).getPath(), p("installed"));
}

// A downloaded copy that only this name holds becomes the installed file itself; one that
// another name holds as well is copied, so the installation shares a file with nobody.
void tst_SlowFileOpTasks::disposableSourceGivesItsFile_data()
{
    QTest::addColumn<bool>("disposable");
    QTest::addColumn<QString>("otherName"); // "", "hard link" or "symbolic link" (the download is a link)
    QTest::addColumn<bool>("shared");
    // A link is made without the trip through the pool; a copy is not.
    QTest::newRow("disposable") << true << QString() << true;
    QTest::newRow("not disposable") << false << QString() << false;
    QTest::newRow("disposable, held by another name") << true << "hard link" << false;
    QTest::newRow("disposable, a symbolic link to a file") << true << "symbolic link" << false;
}

void tst_SlowFileOpTasks::disposableSourceGivesItsFile()
{
    QFETCH(bool, disposable);
    QFETCH(QString, otherName);
    QFETCH(bool, shared);
    const QByteArray data = sampleText(5000, 7);
    if (otherName == "symbolic link") {
        QVERIFY(writeTestFile(p("other"), data));
        QVERIFY(::symlink(qPrintable(p("other")), qPrintable(p("download"))) == 0);
    } else {
        QVERIFY(writeTestFile(p("download"), data));
    }
    if (otherName == "hard link")
        QVERIFY(::link(qPrintable(p("download")), qPrintable(p("other"))) == 0);
    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, p("download"), p("installed"), nullptr, 0.9);
    task.setSourceDisposable(disposable);
    bool endedInExecute = false;
    QVERIFY(runToEnd(task, &endedInExecute));
    QCOMPARE(endedInExecute, shared);

    QCOMPARE(task.getState(), int(StateFinished));
    QCOMPARE(readTestFile(p("installed")), data);
    QCOMPARE(journal.size(), 1);
    struct stat source, installed;
    QVERIFY(::stat(qPrintable(p("download")), &source) == 0 && ::stat(qPrintable(p("installed")), &installed) == 0);
    QCOMPARE(source.st_ino == installed.st_ino, shared);
}

void tst_SlowFileOpTasks::copyRefusesExistingDestination_data()
{
    QTest::addColumn<bool>("disposable");
    QTest::newRow("copy") << false;
    QTest::newRow("disposable source") << true;
}

void tst_SlowFileOpTasks::copyRefusesExistingDestination()
{
    QFETCH(bool, disposable);
    QVERIFY(writeTestFile(p("download"), "new"));
    QVERIFY(writeTestFile(p("installed"), "installed"));
    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, p("download"), p("installed"), nullptr, 0.9);
    task.setSourceDisposable(disposable);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QVERIFY(runToEnd(task));

    QCOMPARE(task.getState(), int(StateErrorCanceled));
    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("Could not copy '%1' to '%2'").arg(p("download"), p("installed")));
    QCOMPARE(messages.at(1).at(0).toString(), QStringLiteral("Reason: File exists"));
    QCOMPARE(readTestFile(p("installed")), QByteArray("installed"));
    QVERIFY(journal.isEmpty());
}

void tst_SlowFileOpTasks::copyOfMissingSourceCreatesNothing()
{
    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, p("absent"), p("installed"), nullptr, 0.9);
    QVERIFY(runToEnd(task));
    QCOMPARE(task.getState(), int(StateErrorCanceled));
    QVERIFY(!QFileInfo::exists(p("installed")));
    QVERIFY(journal.isEmpty());
}

void tst_SlowFileOpTasks::copyOntoFullDiskSaysWhy()
{
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("small")));
    const QByteArray mountPoint = QFile::encodeName(p("small"));
    if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP("cannot mount a small tmpfs here (needs root)");
    const auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });
    QVERIFY(writeTestFile(p("download"), sampleText(256 << 10, 2)));
    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, p("download"), p("small/installed"), nullptr, 0.9);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QVERIFY(runToEnd(task));

    QCOMPARE(task.getState(), int(StateErrorCanceled));
    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(1).at(0).toString(), QStringLiteral("Reason: No space left on device"));
    QCOMPARE(QDir(p("small")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    QVERIFY(journal.isEmpty());
}

void tst_SlowFileOpTasks::nullJournalStillWorks()
{
    QVERIFY(writeTestFile(p("download"), "plain"));
    QVERIFY(writeGzipTestFile(p("download.gz"), "packed"));
    FileCopyTaskSpecification copy(nullptr, p("download"), p("copied"), nullptr, 0.5);
    FileUnzipTaskSpecification unzip(nullptr, p("download.gz"), p("unpacked"), nullptr, 0.5);
    QVERIFY(runToEnd(copy));
    QVERIFY(runToEnd(unzip));
    QCOMPARE(copy.getState(), int(StateFinished));
    QCOMPARE(unzip.getState(), int(StateFinished));
    QCOMPARE(readTestFile(p("copied")), QByteArray("plain"));
    QCOMPARE(readTestFile(p("unpacked")), QByteArray("packed"));
}

QTEST_GUILESS_MAIN(tst_SlowFileOpTasks)
#include "tst_slowfileoptasks.moc"

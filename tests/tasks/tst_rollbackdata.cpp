#include "support/manualtask.h"
#include "support/testfiles.h"
#include "tasks/rollbackdata.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class tst_RollbackData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void emptyJournalSucceedsSilently();
    void undoesNewestFirst();
    void failedUndoWarnsAndTheRestStillRuns_data();
    void failedUndoWarnsAndTheRestStillRuns();
    void renameUndoNeverReplaces_data();
    void renameUndoNeverReplaces();
    void nullReporterDropsWarnings();
    void appendListKeepsOrderAndLeavesOtherJournal();

private:
    QString p(const QString& rel) const { return dir->filePath(rel); }
    QScopedPointer<QTemporaryDir> dir;
};

void tst_RollbackData::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

void tst_RollbackData::emptyJournalSucceedsSilently()
{
    ManualTask reporter;
    QSignalSpy messages(&reporter, &TaskSpecification::message);
    RollbackDataList journal;
    QVERIFY(journal.rollback(&reporter));
    QCOMPARE(messages.count(), 0);
}

// Each undo only succeeds if the later entries were undone before it: the rename back
// needs the created file gone, the directory removal needs the renamed file gone.
void tst_RollbackData::undoesNewestFirst()
{
    QVERIFY(writeTestFile(p("x"), "installed"));
    RollbackDataList journal;
    QVERIFY(QDir(dir->path()).mkdir("d"));
    journal.add(RollbackData(RollbackData::CreateDir, p("d")));
    QVERIFY(QFile::rename(p("x"), p("d/x")));
    journal.add(RollbackData(RollbackData::Rename, p("x"), p("d/x")));
    QVERIFY(writeTestFile(p("x"), "new"));
    journal.add(RollbackData(RollbackData::CreateFile, p("x")));

    ManualTask reporter;
    QSignalSpy messages(&reporter, &TaskSpecification::message);
    QVERIFY(journal.rollback(&reporter));
    QCOMPARE(messages.count(), 0);
    QVERIFY(journal.isEmpty());
    QCOMPARE(readTestFile(p("x")), QByteArray("installed"));
    QVERIFY(!QFileInfo::exists(p("d")));
}

void tst_RollbackData::failedUndoWarnsAndTheRestStillRuns_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("warning");

    QTest::newRow("rename source gone") << int(RollbackData::Rename) << "warning: rollback rename %1 to %2 failed";
    QTest::newRow("created file gone") << int(RollbackData::CreateFile) << "warning: rollback create file %1 failed";
    QTest::newRow("dir not empty") << int(RollbackData::CreateDir) << "warning: rollback create dir %1 failed";
}

void tst_RollbackData::failedUndoWarnsAndTheRestStillRuns()
{
    QFETCH(int, operation);
    QFETCH(QString, warning);

    // Recorded first, so undone after the failing entry.
    QVERIFY(writeTestFile(p("earlier"), "created"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, p("earlier")));

    QString expected;
    switch (operation) {
    case RollbackData::Rename:
        journal.add(RollbackData(RollbackData::Rename, p("old"), p("moved")));
        expected = warning.arg(p("old"), p("moved"));
        break;
    case RollbackData::CreateFile:
        journal.add(RollbackData(RollbackData::CreateFile, p("gone")));
        expected = warning.arg(p("gone"));
        break;
    case RollbackData::CreateDir:
        QVERIFY(writeTestFile(p("full/keep"), "content"));
        journal.add(RollbackData(RollbackData::CreateDir, p("full")));
        expected = warning.arg(p("full"));
        break;
    }
    // Recorded last, so undone before the failing entry.
    QVERIFY(writeTestFile(p("later"), "created"));
    journal.add(RollbackData(RollbackData::CreateFile, p("later")));

    ManualTask reporter;
    QSignalSpy messages(&reporter, &TaskSpecification::message);
    QVERIFY(!journal.rollback(&reporter));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), expected);
    QVERIFY(journal.isEmpty());
    QVERIFY(!QFileInfo::exists(p("later")));
    QVERIFY(!QFileInfo::exists(p("earlier")));
    if (operation == RollbackData::CreateDir)
        QCOMPARE(readTestFile(p("full/keep")), QByteArray("content"));

    // The journal is empty now: a second rollback undoes and reports nothing.
    QVERIFY(journal.rollback(&reporter));
    QCOMPARE(messages.count(), 1);
}

void tst_RollbackData::renameUndoNeverReplaces_data()
{
    QTest::addColumn<QString>("inTheWay"); // what occupies the name to restore
    QTest::newRow("regular file") << "file";
    QTest::newRow("dangling link") << "dangling link";
    QTest::newRow("link to a file elsewhere") << "link";
}

// Undoing a move aside must neither replace what took the old name since nor copy through a
// link there: either would put the installed file's content where it does not belong.
void tst_RollbackData::renameUndoNeverReplaces()
{
    QFETCH(QString, inTheWay);
    QTemporaryDir elsewhere;
    const QString outside = elsewhere.filePath(QStringLiteral("target"));
    QVERIFY(writeTestFile(p("_old_x"), "installed"));
    if (inTheWay == "file")
        QVERIFY(writeTestFile(p("x"), "newer"));
    else
        QVERIFY(QFile::link(outside, p("x")));
    if (inTheWay == "link")
        QVERIFY(writeTestFile(outside, "foreign"));

    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::Rename, p("x"), p("_old_x")));
    ManualTask reporter;
    QSignalSpy messages(&reporter, &TaskSpecification::message);
    QVERIFY(!journal.rollback(&reporter));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(readTestFile(p("_old_x")), QByteArray("installed"));
    if (inTheWay == "file") {
        QCOMPARE(readTestFile(p("x")), QByteArray("newer"));
    } else {
        QCOMPARE(QFileInfo(p("x")).symLinkTarget(), outside);
        QCOMPARE(readTestFile(outside), inTheWay == "link" ? QByteArray("foreign") : QByteArray());
    }
}

void tst_RollbackData::nullReporterDropsWarnings()
{
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, p("never-created")));
    QVERIFY(!journal.rollback(nullptr));
    QVERIFY(journal.isEmpty());
}

void tst_RollbackData::appendListKeepsOrderAndLeavesOtherJournal()
{
    RollbackDataList phase;
    RollbackDataList file;
    QVERIFY(QDir(dir->path()).mkdir("d"));
    phase.add(RollbackData(RollbackData::CreateDir, p("d")));
    QVERIFY(writeTestFile(p("d/f"), "new"));
    file.add(RollbackData(RollbackData::CreateFile, p("d/f")));

    phase.appendList(file);
    QCOMPARE(file.size(), 1);
    QCOMPARE(phase.size(), 2);
    QCOMPARE(phase.getEntries().at(0).getOperation(), RollbackData::CreateDir);
    QCOMPARE(phase.getEntries().at(1).getPath(), p("d/f"));

    // The appended file entry is undone first, so the directory is empty when removed.
    QVERIFY(phase.rollback(nullptr));
    QVERIFY(!QFileInfo::exists(p("d")));
}

QTEST_GUILESS_MAIN(tst_RollbackData)
#include "tst_rollbackdata.moc"

#include "core/configuration.h"
#include "support/testfiles.h"
#include "support/treesnapshot.h"
#include "tasks/dircreatetaskspecification.h"
#include "tasks/filedeletelisttaskspecification.h"
#include "tasks/filedeletetaskspecification.h"
#include "tasks/filerenametaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QStringList journalLines(const RollbackDataList& journal)
{
    QStringList lines;
    for (const RollbackData& entry : journal.getEntries())
        lines << QStringLiteral("%1 %2 %3").arg(entry.getOperation()).arg(entry.getOldPath(), entry.getPath());
    return lines;
}

QStringList messageTexts(const QSignalSpy& spy)
{
    QStringList texts;
    for (const QList<QVariant>& args : spy)
        texts << args.at(0).toString();
    return texts;
}
}

class tst_FastFileOpTasks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void dirCreate_data();
    void dirCreate();
    void fileDelete_data();
    void fileDelete();
    void renameMovesAndJournals();
    void renameRefusesExistingTarget_data();
    void renameRefusesExistingTarget();
    void nullJournalStillWorks();
    void deleteListDeletesBelowRoot();
    void emptyDeleteListFinishesAtOnce();

private:
    QString p(const QString& rel) const { return dir->filePath(rel); }
    QScopedPointer<QTemporaryDir> dir;
    QString previousCurrent;
};

void tst_FastFileOpTasks::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    // Relative names then land in the temporary directory, should anything create them.
    previousCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir->path()));
}

void tst_FastFileOpTasks::cleanup()
{
    QDir::setCurrent(previousCurrent);
    Configuration::setAppRootPath(QString());
}

void tst_FastFileOpTasks::dirCreate_data()
{
    QTest::addColumn<QStringList>("existingDirs");
    QTest::addColumn<QStringList>("existingFiles");
    QTest::addColumn<QString>("target");      // below the temporary directory unless `absolute` is false
    QTest::addColumn<bool>("absolute");
    QTest::addColumn<QStringList>("created"); // journalled, in order
    QTest::addColumn<QString>("failure");     // empty: the task finishes
    QTest::addColumn<QString>("named");       // the path the failure names

    const QString notADir = "Could not create dir '%1' because it already exists and is not a dir";
    QTest::newRow("missing parents") << QStringList{"a"} << QStringList() << "a/b/c" << true
                                     << QStringList{"a/b", "a/b/c"} << QString() << QString();
    QTest::newRow("already there") << QStringList{"a/b"} << QStringList() << "a/b" << true << QStringList()
                                   << QString() << QString();
    QTest::newRow("file in the way") << QStringList() << QStringList{"a/f"} << "a/f" << true << QStringList()
                                     << notADir << "a/f";
    QTest::newRow("file in the way of a parent")
        << QStringList() << QStringList{"a/f"} << "a/f/g" << true << QStringList() << notADir << "a/f";
    QTest::newRow("bare relative name") << QStringList() << QStringList() << "newdir" << false << QStringList()
                                        << "Could not create dir %1" << "newdir";
    // The recursion fails on "rel", but the text names the task's own path.
    QTest::newRow("relative without existing base") << QStringList() << QStringList() << "rel/sub" << false
                                                    << QStringList() << "Could not create dir %1" << "rel/sub";
}

void tst_FastFileOpTasks::dirCreate()
{
    QFETCH(QStringList, existingDirs);
    QFETCH(QStringList, existingFiles);
    QFETCH(QString, target);
    QFETCH(bool, absolute);
    QFETCH(QStringList, created);
    QFETCH(QString, failure);
    QFETCH(QString, named);
    const bool ok = failure.isEmpty();

    for (const QString& d : existingDirs)
        QVERIFY(QDir(dir->path()).mkpath(d));
    for (const QString& f : existingFiles)
        QVERIFY(writeTestFile(p(f), "plain file"));
    const QStringList before = snapshotTree(dir->path());

    const QString path = absolute ? p(target) : target;
    RollbackDataList journal;
    DirCreateTaskSpecification task(path, &journal, nullptr, 0.5);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();

    // Ended inside execute(), without the event loop.
    QCOMPARE(task.getState(), ok ? int(StateFinished) : int(StateErrorCanceled));
    QCOMPARE(finished.count() + canceled.count(), 1);
    QStringList expectedJournal;
    for (const QString& c : created)
        expectedJournal << QStringLiteral("%1  %2").arg(int(RollbackData::CreateDir)).arg(p(c));
    QCOMPARE(journalLines(journal), expectedJournal);
    if (ok) {
        QVERIFY(QFileInfo(path).isDir());
        QCOMPARE(messages.count(), 0);
    } else {
        QCOMPARE(messageTexts(messages), QStringList{failure.arg(absolute ? p(named) : named)});
        QVERIFY(!QFileInfo::exists(path) || QFileInfo(path).isFile());
    }

    // Undoing the journal gives back exactly the tree we started from.
    QVERIFY(journal.rollback(nullptr));
    QCOMPARE(snapshotTree(dir->path()), before);
}

void tst_FastFileOpTasks::fileDelete_data()
{
    QTest::addColumn<bool>("failOnError");
    QTest::addColumn<QString>("existing"); // "file", "dir" or empty
    QTest::addColumn<bool>("ok");

    QTest::newRow("existing, lenient") << false << "file" << true;
    QTest::newRow("existing, strict") << true << "file" << true;
    QTest::newRow("missing, lenient") << false << "" << true;
    QTest::newRow("missing, strict") << true << "" << false;
    QTest::newRow("directory, strict") << true << "dir" << false;
}

void tst_FastFileOpTasks::fileDelete()
{
    QFETCH(bool, failOnError);
    QFETCH(QString, existing);
    QFETCH(bool, ok);

    const QString path = p("victim");
    if (existing == "file")
        QVERIFY(writeTestFile(path, "old"));
    else if (existing == "dir")
        QVERIFY(QDir(dir->path()).mkdir("victim"));

    FileDeleteTaskSpecification task(failOnError, path, nullptr, 0.1);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();

    QCOMPARE(task.getState(), ok ? int(StateFinished) : int(StateErrorCanceled));
    if (existing == "file")
        QVERIFY(!QFileInfo::exists(path));
    if (existing == "dir")
        QVERIFY(QFileInfo(path).isDir());
    const QString reason = existing == "dir" ? "Is a directory" : "No such file or directory";
    QCOMPARE(messageTexts(messages),
             ok ? QStringList() : (QStringList{"Could not delete '" + path + "'", "Reason: " + reason}));
}

void tst_FastFileOpTasks::renameMovesAndJournals()
{
    QVERIFY(writeTestFile(p("lib.so"), "installed"));
    RollbackDataList journal;
    FileRenameTaskSpecification task(p("lib.so"), p("_old_lib.so"), &journal, nullptr, 0.1);
    task.execute();

    QCOMPARE(task.getState(), int(StateFinished));
    QCOMPARE(task.getProgress(), 0.1);
    QVERIFY(!QFileInfo::exists(p("lib.so")));
    QCOMPARE(readTestFile(p("_old_lib.so")), QByteArray("installed"));
    QCOMPARE(journalLines(journal),
             QStringList{QStringLiteral("%1 %2 %3").arg(int(RollbackData::Rename)).arg(p("lib.so"), p("_old_lib.so"))});
}

void tst_FastFileOpTasks::renameRefusesExistingTarget_data()
{
    QTest::addColumn<QString>("inTheWay");
    QTest::newRow("regular file") << "file";
    // A dangling link reads as absent to a check that follows links; a copy through it
    // would write the file outside the installation.
    QTest::newRow("dangling link") << "dangling link";
    QTest::newRow("link to a file elsewhere") << "link";
}

void tst_FastFileOpTasks::renameRefusesExistingTarget()
{
    QFETCH(QString, inTheWay);
    QTemporaryDir elsewhere;
    const QString outside = elsewhere.filePath(QStringLiteral("target"));
    QVERIFY(writeTestFile(p("a"), "a"));
    if (inTheWay == "file")
        QVERIFY(writeTestFile(p("b"), "b"));
    else
        QVERIFY(QFile::link(outside, p("b")));
    if (inTheWay == "link")
        QVERIFY(writeTestFile(outside, "foreign"));
    RollbackDataList journal;
    FileRenameTaskSpecification task(p("a"), p("b"), &journal, nullptr, 0.1);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();

    QCOMPARE(task.getState(), int(StateErrorCanceled));
    QCOMPARE(messageTexts(messages), (QStringList{QStringLiteral("Could not rename '%1' to '%2'").arg(p("a"), p("b")),
                                                  QStringLiteral("Reason: File exists")}));
    QVERIFY(journal.isEmpty());
    QCOMPARE(readTestFile(p("a")), QByteArray("a"));
    if (inTheWay == "file") {
        QCOMPARE(readTestFile(p("b")), QByteArray("b"));
    } else {
        QCOMPARE(QFileInfo(p("b")).symLinkTarget(), outside);
        QCOMPARE(readTestFile(outside), inTheWay == "link" ? QByteArray("foreign") : QByteArray());
    }
}

void tst_FastFileOpTasks::nullJournalStillWorks()
{
    DirCreateTaskSpecification mkdirTask(p("x/y"), nullptr, nullptr, 1.0);
    mkdirTask.execute();
    QCOMPARE(mkdirTask.getState(), int(StateFinished));
    QVERIFY(QFileInfo(p("x/y")).isDir());

    QVERIFY(writeTestFile(p("x/y/f"), "f"));
    FileRenameTaskSpecification renameTask(p("x/y/f"), p("x/g"), nullptr, nullptr, 1.0);
    renameTask.execute();
    QCOMPARE(renameTask.getState(), int(StateFinished));
    QCOMPARE(readTestFile(p("x/g")), QByteArray("f"));
}

void tst_FastFileOpTasks::deleteListDeletesBelowRoot()
{
    QTemporaryDir outside;
    QVERIFY(outside.isValid());
    const QString absoluteEntry = outside.filePath("keep");
    QVERIFY(writeTestFile(absoluteEntry, "outside the installation"));

    const QString root = p("install");
    Configuration::setAppRootPath(root);
    QVERIFY(writeTestFile(root + "/obsolete", "1"));
    QVERIFY(writeTestFile(root + "/plugins/_old_libx.so", "2"));
    // An absolute entry is taken below the root as well.
    QVERIFY(writeTestFile(root + "/" + absoluteEntry, "3"));
    QList<QString> list{"obsolete", "plugins/_old_libx.so", "missing", absoluteEntry};

    FileDeleteListTaskSpecification task(&list, nullptr, 0.05);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();

    QCOMPARE(task.getMaxParallelTasks(), 1);
    QCOMPARE(task.getSubTasks().size(), 4);
    for (int i = 0; i < list.size(); ++i) {
        auto* sub = qobject_cast<FileDeleteTaskSpecification*>(task.getSubTasks().at(i));
        QVERIFY(sub);
        QCOMPARE(sub->getParentProgressRange(), 0.25);
        QCOMPARE(QDir::cleanPath(sub->getPath()), QDir::cleanPath(root + "/" + list.at(i)));
    }
    QVERIFY(finished.wait(5000));
    QCOMPARE(task.getState(), int(StateFinished));
    QCOMPARE(messageTexts(messages), QStringList{"Starting deleting files"});
    QVERIFY(!QFileInfo::exists(root + "/obsolete"));
    QVERIFY(!QFileInfo::exists(root + "/plugins/_old_libx.so"));
    QVERIFY(!QFileInfo::exists(root + "/" + absoluteEntry));
    QCOMPARE(readTestFile(absoluteEntry), QByteArray("outside the installation"));
}

void tst_FastFileOpTasks::emptyDeleteListFinishesAtOnce()
{
    Configuration::setAppRootPath(dir->path());
    QList<QString> list;
    FileDeleteListTaskSpecification task(&list, nullptr, 0.05);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(task.getState(), int(StateFinished));
    QCOMPARE(task.getProgress(), 0.05);
}

QTEST_GUILESS_MAIN(tst_FastFileOpTasks)
#include "tst_fastfileoptasks.moc"

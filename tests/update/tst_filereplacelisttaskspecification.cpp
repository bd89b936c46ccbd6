#include "core/configuration.h"
#include "support/taskspy.h"
#include "support/testfiles.h"
#include "support/treesnapshot.h"
#include "tasks/dircreatetaskspecification.h"
#include "update/filereplacelisttaskspecification.h"
#include "update/filereplacetaskspecification.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class tst_FileReplaceListTaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void emptyListFinishesAtOnce();
    void directoriesThenFiles_data();
    void directoriesThenFiles();
    void failureOfLastFileRestoresWholeTree();
    void userCancelRestoresWholeTree();
    void resetUndoesPhaseAndAllowsRerun();

private:
    QString installed(const QString& rel) const { return root->filePath(rel); }
    // Adds a download for the installed path rel; every second one comes gzip-compressed.
    void addEntry(const QString& rel, const QByteArray& content);
    // An installation with files that the update replaces, and files it leaves alone.
    void makeInstallation();

    QScopedPointer<QTemporaryDir> root;
    QScopedPointer<QTemporaryDir> work;
    Configuration configuration;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList;
};

void tst_FileReplaceListTaskSpecification::init()
{
    root.reset(new QTemporaryDir);
    work.reset(new QTemporaryDir);
    QVERIFY(root->isValid() && work->isValid());
    Configuration::setAppRootPath(root->path());
    configuration.tempDir = work->path();
    replaceList.clear();
    deleteList.clear();
}

void tst_FileReplaceListTaskSpecification::cleanup()
{
    Configuration::setAppRootPath(QString());
}

void tst_FileReplaceListTaskSpecification::addEntry(const QString& rel, const QByteArray& content)
{
    FileReplaceSpecification entry;
    entry.section = QStringLiteral("client");
    if (replaceList.size() % 2) {
        entry.filePath = rel + QStringLiteral(".gz");
        entry.unzipFilePath = rel;
        entry.unzipMd5Sum = md5Hex(content);
        entry.unzipSize = quint64(content.size());
        QVERIFY(writeGzipTestFile(work->filePath(entry.filePath), content));
    } else {
        entry.filePath = rel;
        QVERIFY(writeTestFile(work->filePath(rel), content));
    }
    replaceList.append(entry);
}

void tst_FileReplaceListTaskSpecification::makeInstallation()
{
    QVERIFY(writeTestFile(installed("update"), "updater 1"));
    QVERIFY(QFile::setPermissions(installed("update"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                           | QFileDevice::ExeOwner | QFileDevice::ReadGroup));
    QVERIFY(writeTestFile(installed("plugins/libx.so"), "plugin 1"));
    QVERIFY(writeTestFile(installed("data/readme.txt"), "readme 1"));
    QVERIFY(writeTestFile(installed("data/untouched.txt"), "untouched"));
    QVERIFY(writeTestFile(installed("update.ini"), "[update]\n"));
}

void tst_FileReplaceListTaskSpecification::emptyListFinishesAtOnce()
{
    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(task.getState(), int(StateFinished));
    QCOMPARE(task.getProgress(), 0.4);
    QCOMPARE(texts(messages), QStringList{"Starting file updates"});
}

void tst_FileReplaceListTaskSpecification::directoriesThenFiles_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("expectedDirs"); // below the root, in task order

    QTest::newRow("all directories exist") << QStringList{"update", "data/readme.txt"} << QStringList();
    QTest::newRow("one missing directory for two files")
        << QStringList{"new/a", "data/readme.txt", "new/b"} << QStringList{"new"};
    QTest::newRow("nested missing directories, parent first")
        << QStringList{"a/b/c/f", "a/b/g", "zz/h"} << QStringList{"a/b", "a/b/c", "zz"};
}

void tst_FileReplaceListTaskSpecification::directoriesThenFiles()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, expectedDirs);

    makeInstallation();
    for (const QString& file : files)
        addEntry(file, "new " + file.toUtf8());
    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    task.execute();

    QCOMPARE(task.getMaxParallelTasks(), 2);
    const QList<TaskSpecification*>& subs = task.getSubTasks();
    QCOMPARE(subs.size(), expectedDirs.size());
    for (int i = 0; i < subs.size(); ++i) {
        auto* dirTask = qobject_cast<DirCreateTaskSpecification*>(subs.at(i));
        QVERIFY(dirTask);
        QCOMPARE(dirTask->getPath(), installed(expectedDirs.at(i)));
        QCOMPARE(dirTask->getParentProgressRange(), 0.1 / expectedDirs.size());
    }
    // A file's task exists only from its start until it has finished: never more than the
    // two that run at once.
    QStringList started;
    const double fileShare = expectedDirs.isEmpty() ? 1.0 : 0.9;
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        if (!text.startsWith(QLatin1String("add/replace ")))
            return;
        int fileTasks = 0;
        for (TaskSpecification* sub : task.getSubTasks()) {
            auto* fileTask = qobject_cast<FileReplaceTaskSpecification*>(sub);
            if (!fileTask)
                continue;
            ++fileTasks;
            if (!started.contains(fileTask->getReplaceItem().pureDestFilePath())) {
                started += fileTask->getReplaceItem().pureDestFilePath();
                QCOMPARE(fileTask->getParentProgressRange(), fileShare / files.size());
            }
        }
        QVERIFY(fileTasks <= 2);
    });

    QVERIFY(waitForEnd(task));
    QCOMPARE(task.getState(), int(StateFinished));
    QVERIFY(qAbs(task.getProgress() - 0.4) < 1e-9);
    QCOMPARE(started, files);
    for (const QString& file : files)
        QCOMPARE(readTestFile(installed(file)), "new " + file.toUtf8());
}

// Every file but the last installs; the last fails its MD5 check. The phase then undoes
// everything: replaced files come back byte for byte with their modes, new files and the
// directories made for them go, and nothing is left under an "_old_" name.
void tst_FileReplaceListTaskSpecification::failureOfLastFileRestoresWholeTree()
{
    makeInstallation();
    const QStringList before = snapshotTree(root->path());
    addEntry("update", "updater 2");
    addEntry("plugins/libx.so", "plugin 2");
    addEntry("data/readme.txt", "readme 2");
    addEntry("new/deep/file.txt", "brand new");
    addEntry("new/other.bin", randomTestData(300000, 1));
    addEntry("plugins/liby.so", "plugin y");
    addEntry("qv3client_runscript.sh", "script 2");
    addEntry("extra/last.txt", "last");
    QVERIFY(replaceList.last().hasUnzip());
    replaceList.last().unzipMd5Sum = md5Hex("not what it unpacks to");

    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(task.getState(), int(StateErrorCanceled));
    const QList<TaskSpecification*>& subs = task.getSubTasks();
    for (int i = 0; i < subs.size() - 1; ++i)
        QCOMPARE(subs.at(i)->getState(), int(StateFinished));
    QCOMPARE(subs.last()->getState(), int(StateErrorCanceled));
    const QStringList log = texts(messages);
    QVERIFY2(log.contains("rolling back file updates"), qPrintable(log.join('\n')));
    QVERIFY2(log.filter("warning").isEmpty(), qPrintable(log.join('\n')));
    QCOMPARE(snapshotTree(root->path()), before);
}

void tst_FileReplaceListTaskSpecification::userCancelRestoresWholeTree()
{
    makeInstallation();
    const QStringList before = snapshotTree(root->path());
    addEntry("update", randomTestData(2000000, 1));
    addEntry("plugins/libx.so", randomTestData(2000000, 2));
    addEntry("data/readme.txt", randomTestData(2000000, 3));
    addEntry("new/a.bin", randomTestData(2000000, 4));
    addEntry("new/b.bin", randomTestData(2000000, 5));
    addEntry("new/c.bin", randomTestData(2000000, 6));

    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    QSignalSpy messages(&task, &TaskSpecification::message);
    // The user clicks while the third file is being installed: that click arrives from
    // the event loop, not from inside the task's own signal.
    connect(&task, &TaskSpecification::message, &task, [&task](const QString& text) {
        if (text == QLatin1String("add/replace data/readme.txt"))
            QMetaObject::invokeMethod(&task, &TaskSpecification::userCanceled, Qt::QueuedConnection);
    });
    task.execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(task.getState(), int(StateUserCanceled));
    const QStringList log = texts(messages);
    QVERIFY2(log.contains("rolling back file updates"), qPrintable(log.join('\n')));
    QVERIFY2(log.filter("warning").isEmpty(), qPrintable(log.join('\n')));
    // Files after the third never started.
    QVERIFY(!log.contains("add/replace new/a.bin"));
    QCOMPARE(snapshotTree(root->path()), before);
}

void tst_FileReplaceListTaskSpecification::resetUndoesPhaseAndAllowsRerun()
{
    makeInstallation();
    const QStringList before = snapshotTree(root->path());
    addEntry("plugins/libx.so", "plugin 2");
    addEntry("new/file.txt", "brand new");

    FileReplaceListTaskSpecification task(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    task.execute();
    QVERIFY(waitForEnd(task));
    QCOMPARE(task.getState(), int(StateFinished));
    const QStringList updated = snapshotTree(root->path());

    task.reset();
    QCOMPARE(task.getState(), int(StateIdle));
    QCOMPARE(snapshotTree(root->path()), before);

    task.execute();
    QVERIFY(waitForEnd(task));
    QCOMPARE(task.getState(), int(StateFinished));
    QCOMPARE(snapshotTree(root->path()), updated);
}

QTEST_GUILESS_MAIN(tst_FileReplaceListTaskSpecification)
#include "tst_filereplacelisttaskspecification.moc"

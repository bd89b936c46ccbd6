#include "core/configuration.h"
#include "support/taskspy.h"
#include "support/testfiles.h"
#include "support/treesnapshot.h"
#include "tasks/filecopytaskspecification.h"
#include "tasks/filedeletetaskspecification.h"
#include "tasks/filerenametaskspecification.h"
#include "tasks/fileunziptaskspecification.h"
#include "update/checksignaturetaskspecification.h"
#include "update/filereplacetaskspecification.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QFileDevice::Permissions Mode755 = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                         | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
                                         | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                         | QFileDevice::ExeOther;
const QFileDevice::Permissions Mode777 = Mode755 | QFileDevice::WriteGroup | QFileDevice::WriteOther;
const QFileDevice::Permissions Mode640 = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
                                         | QFileDevice::WriteUser | QFileDevice::ReadGroup;

QString stepName(const TaskSpecification* task)
{
    if (qobject_cast<const FileDeleteTaskSpecification*>(task))
        return QStringLiteral("delete");
    if (qobject_cast<const FileRenameTaskSpecification*>(task))
        return QStringLiteral("rename");
    if (qobject_cast<const FileUnzipTaskSpecification*>(task))
        return QStringLiteral("unzip");
    if (qobject_cast<const FileCopyTaskSpecification*>(task))
        return QStringLiteral("copy");
    if (qobject_cast<const CheckSignatureTaskSpecification*>(task))
        return QStringLiteral("check");
    return QStringLiteral("?");
}

QStringList steps(const ComposedTaskSpecification& task)
{
    QStringList list;
    for (const TaskSpecification* sub : task.getSubTasks())
        list << QStringLiteral("%1 %2").arg(stepName(sub)).arg(sub->getParentProgressRange(), 0, 'f', 2);
    return list;
}


}

class tst_FileReplaceTaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void installs_data();
    void installs();
    void permissions_data();
    void permissions();
    void failureRestoresInstalledVersion_data();
    void failureRestoresInstalledVersion();

private:
    QString installed(const QString& rel) const { return root->filePath(rel); }
    QString downloaded(const QString& rel) const { return work->filePath(rel); }
    // A download of content under `key`, gzip-compressed when installed as unzipPath.
    FileReplaceSpecification prepare(const QString& key, const QByteArray& content, const QString& unzipPath);

    QScopedPointer<QTemporaryDir> root;
    QScopedPointer<QTemporaryDir> work;
    Configuration configuration;
};

void tst_FileReplaceTaskSpecification::init()
{
    root.reset(new QTemporaryDir);
    work.reset(new QTemporaryDir);
    QVERIFY(root->isValid() && work->isValid());
    Configuration::setAppRootPath(root->path());
    configuration.tempDir = work->path();
}

void tst_FileReplaceTaskSpecification::cleanup()
{
    Configuration::setAppRootPath(QString());
}

FileReplaceSpecification tst_FileReplaceTaskSpecification::prepare(const QString& key, const QByteArray& content,
                                                                  const QString& unzipPath)
{
    FileReplaceSpecification entry;
    entry.section = QStringLiteral("client");
    entry.filePath = key;
    if (unzipPath.isEmpty()) {
        writeTestFile(downloaded(key), content);
    } else {
        writeGzipTestFile(downloaded(key), content);
        entry.unzipFilePath = unzipPath;
        entry.unzipMd5Sum = md5Hex(content);
        entry.unzipSize = quint64(content.size());
    }
    return entry;
}

void tst_FileReplaceTaskSpecification::installs_data()
{
    QTest::addColumn<bool>("installedBefore");
    QTest::addColumn<QString>("staleOld"); // "", "file" or "dangling link"
    QTest::addColumn<bool>("unzip");
    QTest::addColumn<QStringList>("expectedSteps");

    QTest::newRow("first install, copy") << false << "" << false << QStringList{"copy 1.00"};
    QTest::newRow("first install, unzip") << false << "" << true << QStringList{"unzip 0.80", "check 0.20"};
    // An interrupted run moved the file aside and never installed the new one.
    QTest::newRow("installed copy only under its old name")
        << false << "file" << false << QStringList{"copy 1.00"};
    QTest::newRow("replace, copy") << true << "" << false << QStringList{"rename 0.10", "copy 0.90"};
    QTest::newRow("replace, unzip") << true << "" << true
                                    << QStringList{"rename 0.10", "unzip 0.70", "check 0.20"};
    QTest::newRow("stale old, copy") << true << "file" << false
                                     << QStringList{"delete 0.10", "rename 0.10", "copy 0.80"};
    QTest::newRow("stale old, unzip") << true << "file" << true
                                      << QStringList{"delete 0.10", "rename 0.10", "unzip 0.60", "check 0.20"};
    QTest::newRow("dangling link as old copy") << true << "dangling link" << true
                                               << QStringList{"delete 0.10", "rename 0.10", "unzip 0.60", "check 0.20"};
}

void tst_FileReplaceTaskSpecification::installs()
{
    QFETCH(bool, installedBefore);
    QFETCH(QString, staleOld);
    QFETCH(bool, unzip);
    QFETCH(QStringList, expectedSteps);

    const QString rel = QStringLiteral("data/readme.txt");
    const QString old = QStringLiteral("data/_old_readme.txt");
    const QString outside = work->filePath(QStringLiteral("outside"));
    FileReplaceSpecification entry =
        prepare(unzip ? QStringLiteral("data/readme.txt.gz") : rel, "new version", unzip ? rel : QString());
    QVERIFY(QDir(root->path()).mkpath("data"));
    if (installedBefore)
        QVERIFY(writeTestFile(installed(rel), "installed version"));
    if (staleOld == "file")
        QVERIFY(writeTestFile(installed(old), "stale"));
    else if (staleOld == "dangling link")
        QVERIFY(QFile::link(outside, installed(old)));
    const QStringList before = snapshotTree(root->path());

    QList<QString> deleteList;
    RollbackDataList phaseJournal;
    FileReplaceTaskSpecification task(entry, &deleteList, &phaseJournal, &configuration, nullptr, 0.5);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(steps(task), expectedSteps);
    QVERIFY(waitForEnd(task));

    QCOMPARE(task.getState(), int(StateFinished));
    QCOMPARE(task.getProgress(), 0.5);
    QCOMPARE(texts(messages), QStringList{"add/replace " + entry.filePath});
    QCOMPARE(readTestFile(installed(rel)), QByteArray("new version"));
    const bool onlyOld = !installedBefore && !staleOld.isEmpty();
    if (installedBefore || onlyOld) {
        QCOMPARE(readTestFile(installed(old)), onlyOld ? QByteArray("stale") : QByteArray("installed version"));
        QCOMPARE(deleteList, QList<QString>{old});
    } else {
        QVERIFY(!QFileInfo::exists(installed(old)));
        QVERIFY(deleteList.isEmpty());
    }
    QVERIFY(!QFileInfo::exists(outside));

    // The changes now belong to the phase: resetting the file task must not undo them again.
    const QStringList after = snapshotTree(root->path());
    task.reset();
    QCOMPARE(snapshotTree(root->path()), after);
    QVERIFY(!phaseJournal.isEmpty());
    QVERIFY(phaseJournal.rollback(nullptr));
    if (staleOld.isEmpty())
        QCOMPARE(snapshotTree(root->path()), before);
    if (onlyOld) { // the old copy is back as the installed one
        QCOMPARE(readTestFile(installed(rel)), QByteArray("stale"));
        QVERIFY(!QFileInfo::exists(installed(old)));
    }
}

void tst_FileReplaceTaskSpecification::permissions_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("unzip");
    QTest::addColumn<int>("downloadMode");
    QTest::addColumn<int>("expectedMode"); // -1: what the unpack gave it, untouched
    QTest::addColumn<bool>("oldQueued");

    QTest::newRow("the updater itself") << "update" << false << int(Mode777) << int(Mode755) << false;
    QTest::newRow("library plugin") << "plugins/libx.so" << false << int(Mode777) << int(Mode755) << true;
    QTest::newRow("special Qt library") << "libQtCore.so.4" << false << int(Mode640) << int(Mode755) << false;
    QTest::newRow("start script") << "qv3client_runscript.sh" << false << int(Mode640) << int(Mode755) << true;
    QTest::newRow("unpacked client binary") << "qv3client_linux_amd64" << true << int(Mode640) << int(Mode755)
                                            << true;
    QTest::newRow("suffix so.4.8 is not made executable") << "lib/libfoo.so.4.8" << false << int(Mode640)
                                                          << int(Mode640) << true;
    QTest::newRow("plain data file") << "readme.txt" << false << int(Mode640) << int(Mode640) << true;
    QTest::newRow("so in upper case is not a library") << "lib/libbar.SO" << false << int(Mode640) << int(Mode640)
                                                       << true;
}

void tst_FileReplaceTaskSpecification::permissions()
{
    QFETCH(QString, path);
    QFETCH(bool, unzip);
    QFETCH(int, downloadMode);
    QFETCH(int, expectedMode);
    QFETCH(bool, oldQueued);

    FileReplaceSpecification entry = prepare(unzip ? path + ".gz" : path, "new", unzip ? path : QString());
    QVERIFY(QFile::setPermissions(downloaded(entry.filePath), QFileDevice::Permissions(downloadMode)));
    QVERIFY(writeTestFile(installed(path), "installed"));

    QList<QString> deleteList;
    RollbackDataList phaseJournal;
    FileReplaceTaskSpecification task(entry, &deleteList, &phaseJournal, &configuration, nullptr, 1.0);
    task.execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(task.getState(), int(StateFinished));
    QCOMPARE(readTestFile(installed(path)), QByteArray("new"));
    QCOMPARE(readTestFile(installed(entry.oldDestFileName())), QByteArray("installed"));
    QCOMPARE(deleteList, oldQueued ? QList<QString>{entry.oldDestFileName()} : QList<QString>());
    // Qt reports the owner's bits twice (Owner and User) for the owner, as the masks do.
    QCOMPARE(int(QFileInfo(installed(path)).permissions()), expectedMode);
}

void tst_FileReplaceTaskSpecification::failureRestoresInstalledVersion_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("expectedMessage");

    QTest::newRow("unpacked file fails its MD5") << "md5" << "Signature check failed for {installed}";
    QTest::newRow("download is not valid gzip") << "corrupt" << "Could not unzip '{download}' to '{installed}'";
    QTest::newRow("download missing") << "missing" << "Could not copy '{download}' to '{installed}'";
    QTest::newRow("stale old copy cannot be deleted") << "stale" << "Could not delete '{old}'";
    QTest::newRow("installed only under its old name, download missing")
        << "only old" << "Could not copy '{download}' to '{installed}'";
}

void tst_FileReplaceTaskSpecification::failureRestoresInstalledVersion()
{
    QFETCH(QString, failure);
    QFETCH(QString, expectedMessage);

    const QString rel = QStringLiteral("bin/qv3client_linux_amd64");
    FileReplaceSpecification entry;
    if (failure == "md5" || failure == "corrupt") {
        entry = prepare("bin/client.gz", "new client", rel);
        if (failure == "md5")
            entry.unzipMd5Sum = md5Hex("something else");
        else
            QVERIFY(writeTestFile(downloaded(entry.filePath), gzipData("new client").left(20)));
    } else {
        entry = prepare(rel, "new client", QString());
        if (failure == "missing" || failure == "only old")
            QVERIFY(QFile::remove(downloaded(rel)));
    }
    QVERIFY(writeTestFile(installed(rel), "installed client"));
    QVERIFY(QFile::setPermissions(installed(rel), Mode640));
    const QStringList before = snapshotTree(root->path());
    if (failure == "only old") // the state a kill after the move aside leaves
        QVERIFY(QFile::rename(installed(rel), installed(entry.oldDestFileName())));
    if (failure == "stale") // a directory where the old copy goes cannot be deleted as a file
        QVERIFY(QDir(root->path()).mkpath("bin/_old_qv3client_linux_amd64"));
    const QStringList expected = failure == "stale" ? snapshotTree(root->path()) : before;

    QList<QString> deleteList;
    RollbackDataList phaseJournal;
    FileReplaceTaskSpecification task(entry, &deleteList, &phaseJournal, &configuration, nullptr, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(task.getState(), int(StateErrorCanceled));
    expectedMessage.replace("{installed}", installed(rel))
        .replace("{download}", downloaded(entry.filePath))
        .replace("{old}", installed(entry.oldDestFileName()));
    QVERIFY2(texts(messages).contains(expectedMessage),
             qPrintable(texts(messages).join('\n')));
    QVERIFY(texts(messages).filter("warning").isEmpty());
    QCOMPARE(snapshotTree(root->path()), expected);
    QVERIFY(deleteList.isEmpty());
    QVERIFY(phaseJournal.isEmpty());
}

QTEST_GUILESS_MAIN(tst_FileReplaceTaskSpecification)
#include "tst_filereplacetaskspecification.moc"

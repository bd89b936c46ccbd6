// Faults of the mirrors and of the local file system met by the real program (update_test)
// in a temporary installation of release 1 updating to release 2. Every run must end with
// release 2 installed (a good mirror took over, or the fault was harmless) or release 1 left
// exactly as it was with the reason in the log; never anything in between, and nothing
// outside the installation and its temporary directory may change.
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testhttpserver.h"
#include "support/testrelease.h"
#include "support/treesnapshot.h"

#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <sys/mount.h>
#include <unistd.h>

namespace {
const QString ClientType = QStringLiteral("client_test");
const QString Updater = QStringLiteral(QUORVEL_BINARY_DIR "/src/update_test");
using Behaviour = TestHttpServer::Behaviour;

// Everything installed, as paths, kinds and contents, without the mirror list and the
// session record in update.ini, which a failed run keeps by design.
QStringList installation(const QString& root)
{
    QStringList lines = snapshotContents(root);
    lines.removeIf([](const QString& line) {
        return line.startsWith(QLatin1String("update.ini ")) || line.startsWith(QLatin1String("mirrors.ini "));
    });
    return lines;
}

// Served paths below a mirror root, as they appear in requests ("/2/files/...").
QStringList productPaths(const QString& mirrorRoot, int version)
{
    QStringList paths;
    const QString files = QStringLiteral("%1/%2/files").arg(mirrorRoot).arg(version);
    QDirIterator it(files, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << QStringLiteral("/%1/files/").arg(version) + QDir(files).relativeFilePath(it.next());
    return paths;
}

void setRecursivePermissions(const QString& root, QFile::Permissions dirs, QFile::Permissions files)
{
    QFile::setPermissions(root, dirs);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QFile::setPermissions(info.filePath(), info.isDir() ? dirs : files);
    }
}

const QFile::Permissions Public = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
}

class tst_Faults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void update_data();
    void update();
    void cleanupTestCase();

private:
    struct Tally
    {
        int runs = 0;
        int intact = 0;
        int crashes = 0;
    };
    void makeFaulty(TestHttpServer& server, const QString& fault);

    TestRelease oldRelease{1, ClientType};
    TestRelease newRelease{2, ClientType};
    QTemporaryDir shared;
    QString mirrorRoot;
    QStringList newInstallation;
    QUdpSocket silentServer; // the banner query goes here and gets no answer
    QMap<QString, Tally> tallies;
};

void tst_Faults::initTestCase()
{
    QVERIFY(QFileInfo(Updater).isExecutable());
    QVERIFY(shared.isValid());
    QVERIFY(silentServer.bind(QHostAddress::LocalHost, 0));
    // Big enough that faults land mid-body and a small file system fills; new directories,
    // a gzipped file, an unchanged one and one to delete.
    oldRelease.files = {{"keep.txt", "same"},
                        {"bin/tool", randomTestData(96 << 10, 1)},
                        {"lib/libcore.so", randomTestData(96 << 10, 2)},
                        {"docs/readme.txt", QByteArray("release 1\n").repeated(500)},
                        {"obsolete.dat", "bye"}};
    newRelease.files = {{"keep.txt", "same"},
                        {"bin/tool", randomTestData(128 << 10, 3)},
                        {"lib/libcore.so", randomTestData(96 << 10, 4)},
                        {"docs/readme.txt", QByteArray("release 2\n").repeated(600)},
                        {"data/more/new.txt", QByteArray("new\n").repeated(2000) + randomTestData(64 << 10, 5)},
                        // A new directory made before data/more, so a failure there has one to undo.
                        {"add-ons/new.txt", randomTestData(8 << 10, 6)}};
    newRelease.gzipped << QStringLiteral("docs/readme.txt");
    newRelease.deleted << QStringLiteral("obsolete.dat");
    mirrorRoot = shared.filePath(QStringLiteral("mirror"));
    QVERIFY(newRelease.publish(mirrorRoot));
    // The same files at another place of a mirror, where a redirect points.
    QVERIFY(newRelease.publish(mirrorRoot + QStringLiteral("/moved")));

    const QString reference = shared.filePath(QStringLiteral("new"));
    QVERIFY(newRelease.install(reference));
    QVERIFY(QFile::copy(Updater, reference + QStringLiteral("/update")));
    newInstallation = installation(reference);
}

// Every product file of the mirror fails in the same way; the product ini stays good.
void tst_Faults::makeFaulty(TestHttpServer& server, const QString& fault)
{
    for (const QString& path : productPaths(mirrorRoot, newRelease.version)) {
        if (fault == QLatin1String("404"))
            server.setBehaviour(path, Behaviour::statusCode(404));
        else if (fault == QLatin1String("redirect")) // to the right file, which must not be fetched
            server.setBehaviour(path, Behaviour::redirect((server.baseUrl() + QStringLiteral("/moved") + path).toUtf8()));
        else if (fault == QLatin1String("401"))
            server.setBehaviour(path, Behaviour::authChallenge());
        else if (fault == QLatin1String("stall"))
            server.setBehaviour(path, Behaviour::stallAfter(1024));
        else if (fault == QLatin1String("reset"))
            server.setBehaviour(path, Behaviour::closeAfter(2048));
        else if (fault == QLatin1String("short body"))
            server.setBehaviour(path, Behaviour::shortBody(512));
        else if (fault == QLatin1String("long body"))
            server.setBehaviour(path, Behaviour::longBody(512));
        else if (fault == QLatin1String("corrupt")) {
            QByteArray wrong = readTestFile(mirrorRoot + path);
            wrong[wrong.size() / 2] = char(wrong.at(wrong.size() / 2) ^ 0x55);
            server.setFile(path, wrong);
        } else
            QFAIL(qPrintable(QStringLiteral("unknown fault ") + fault));
    }
}

void tst_Faults::update_data()
{
    QTest::addColumn<QString>("localClass"); // "" for a row of mirror faults, counted per fault
    QTest::addColumn<QStringList>("mirrors"); // the fault of each mirror, "" for a good one
    QTest::addColumn<QString>("local");
    QTest::addColumn<int>("exitCode");        // 0: release 2 installed, else release 1 intact
    QTest::addColumn<QString>("logged");

    const QString exhausted = QStringLiteral("There are no (more) known working mirrors available");
    const struct
    {
        const char* fault;
        const char* logged;
    } mirrorFaults[] = {{"404", "returned 404"},
                        {"redirect", "returned 302"},
                        {"401", "returned 401"},
                        {"stall", "timed out on mirror mirror1"},
                        {"reset", "Connection closed"},
                        {"short body", "announced longer than the"},
                        {"long body", "ended after"},
                        {"corrupt", "md5 sum for"}};
    for (const auto& row : mirrorFaults)
        QTest::addRow("%s, then a good mirror", row.fault)
            << "" << QStringList{row.fault, ""} << "" << 0 << row.logged;
    // Every mirror faulty, each in another way: nothing is installed.
    for (int i = 0; i < 8; i += 2) {
        const QString first = mirrorFaults[i].fault;
        const QString second = mirrorFaults[i + 1].fault;
        QTest::addRow("%s and %s, no good mirror", mirrorFaults[i].fault, mirrorFaults[i + 1].fault)
            << "" << QStringList{first, second} << "" << 3 << exhausted;
    }
    QTest::newRow("stall, corrupt, then a good mirror")
        << "" << QStringList{"stall", "corrupt", ""} << "" << 0 << "md5 sum for";

    const QStringList good{"", ""};
    QTest::newRow("file in the way of a new directory")
        << "file in the way of a directory" << good << "file at data" << 5
        << "Could not create dir '%1/data' because it already exists and is not a dir";
    QTest::newRow("directory in the way of a file")
        << "directory in the way of a file" << good << "dir at docs/readme.txt" << 5 << "is a directory";
    QTest::newRow("installed file is a link to outside")
        << "link at an installed path" << good << "link at lib/libcore.so" << 0 << "";
    QTest::newRow("dangling link at an old copy")
        << "link at an _old_ path" << good << "dangling link at lib/_old_libcore.so" << 0 << "";
    QTest::newRow("link at an old copy to a file outside")
        << "link at an _old_ path" << good << "link at bin/_old_tool" << 0 << "";
    QTest::newRow("read-only installation, unprivileged user")
        << "read-only installation" << good << "read-only" << 5 << "unable to create dir %1/add-ons";
    QTest::newRow("temporary file system full")
        << "temporary file system full" << good << "full tmp" << 3 << "No space left on device";
}

void tst_Faults::update()
{
    QFETCH(QString, localClass);
    QFETCH(QStringList, mirrors);
    QFETCH(QString, local);
    QFETCH(int, exitCode);
    const bool updated = exitCode == 0;
    QFETCH(QString, logged);

    QTemporaryDir sandbox;
    QVERIFY(sandbox.isValid());
    const QString root = sandbox.filePath(QStringLiteral("install"));
    const QString tmp = sandbox.filePath(QStringLiteral("tmp"));
    const QString outside = sandbox.filePath(QStringLiteral("outside"));
    QVERIFY(oldRelease.install(root) && QDir().mkpath(tmp));
    QVERIFY(QFile::copy(Updater, root + QStringLiteral("/update")));
    QVERIFY(writeTestFile(outside + QStringLiteral("/neighbour.txt"), "untouched"));
    logged.replace(QStringLiteral("%1"), root);

    std::vector<std::unique_ptr<TestHttpServer>> servers;
    QList<TestHttpServer*> list;
    for (int i = 0; i < mirrors.size(); ++i) {
        servers.push_back(std::make_unique<TestHttpServer>());
        QVERIFY(servers.back()->listen());
        servers.back()->setRootDirectory(mirrorRoot);
        list << servers.back().get();
    }
    for (int i = 0; i < mirrors.size(); ++i) {
        if (!mirrors.at(i).isEmpty())
            makeFaulty(*servers[i], mirrors.at(i));
    }
    QVERIFY(writeMirrorsIni(root + QStringLiteral("/mirrors.ini"), list));

    QStringList command{root + QStringLiteral("/update"), QStringLiteral("--nouser"), ClientType,
                        QString::number(newRelease.version)};
    std::function<void()> unmount = [] {};
    const auto cleanup = qScopeGuard([&] { unmount(); });
    if (local == QLatin1String("file at data")) {
        QVERIFY(writeTestFile(root + QStringLiteral("/data"), "a file of the user"));
    } else if (local == QLatin1String("dir at docs/readme.txt")) {
        QVERIFY(QFile::remove(root + QStringLiteral("/docs/readme.txt")));
        QVERIFY(writeTestFile(root + QStringLiteral("/docs/readme.txt/notes"), "the user's notes"));
    } else if (local == QLatin1String("link at lib/libcore.so")) {
        QVERIFY(QFile::rename(root + QStringLiteral("/lib/libcore.so"), outside + QStringLiteral("/libcore.so")));
        QVERIFY(QFile::link(outside + QStringLiteral("/libcore.so"), root + QStringLiteral("/lib/libcore.so")));
    } else if (local == QLatin1String("dangling link at lib/_old_libcore.so")) {
        QVERIFY(QFile::link(outside + QStringLiteral("/planted"), root + QStringLiteral("/lib/_old_libcore.so")));
    } else if (local == QLatin1String("link at bin/_old_tool")) {
        QVERIFY(QFile::link(outside + QStringLiteral("/neighbour.txt"), root + QStringLiteral("/bin/_old_tool")));
    } else if (local == QLatin1String("read-only")) {
        if (::geteuid() != 0)
            QSKIP("needs root to run the updater as the user nobody (root ignores permissions)");
        // Readable and runnable by nobody, writable by root only; the temporary directory is
        // nobody's own.
        setRecursivePermissions(sandbox.path(), Public, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        QVERIFY(QFile::setPermissions(root + QStringLiteral("/update"), Public));
        QVERIFY(QFile::setPermissions(tmp, Public | QFile::WriteGroup | QFile::WriteOther));
        command = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"),
                              QStringLiteral("--regid=nogroup"), QStringLiteral("--clear-groups")}
            + command;
    } else if (local == QLatin1String("full tmp")) {
        if (::mount("tmpfs", QFile::encodeName(tmp).constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("cannot mount a small tmpfs here (needs root)");
        unmount = [tmp] { ::umount2(QFile::encodeName(tmp).constData(), MNT_DETACH); };
    }
    const QStringList before = installation(root);
    const QStringList outsideBefore = snapshotTree(outside);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "XDG_RUNTIME_DIR"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("QUORVEL_UPDATE_SERVER_ADDRESS"),
               QStringLiteral("127.0.0.1:%1:%1").arg(silentServer.localPort()));
    env.insert(QStringLiteral("QUORVEL_AUTOCLOSE_DIALOGS"), QStringLiteral("1"));
    env.insert(QStringLiteral("QUORVEL_LOG_STDERR"), QStringLiteral("1"));
    env.insert(QStringLiteral("QUORVEL_TEST_TICK_MS"), QStringLiteral("50"));
    env.insert(QStringLiteral("QUORVEL_TEST_AUTOSTART_MS"), QStringLiteral("0"));

    QProcess updater;
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(sandbox.path());
    updater.setProcessChannelMode(QProcess::MergedChannels);
    updater.start(command.takeFirst(), command);
    QVERIFY(updater.waitForStarted());
    QStringList classes = localClass.isEmpty() ? mirrors : QStringList{localClass};
    classes.removeAll(QString());
    classes.removeDuplicates();
    for (const QString& name : std::as_const(classes))
        ++tallies[name].runs;
    // Unattended, a failed update ends the program too, with the code of its kind of failure.
    QByteArray log;
    const bool ended = QTest::qWaitFor(
        [&] {
            log += updater.readAll();
            return updater.state() == QProcess::NotRunning;
        },
        60000);
    const bool crashed = ended && updater.exitStatus() == QProcess::CrashExit;
    const int code = updater.exitCode();
    updater.kill();
    updater.waitForFinished();
    log += updater.readAll();
    for (const QString& name : std::as_const(classes))
        tallies[name].crashes += crashed ? 1 : 0;
    // Test messages are cut at about 1000 characters: the end of the log tells most.
    const QByteArray tail = log.right(900);
    QVERIFY2(ended && !crashed, tail.constData());
    QVERIFY2(code == exitCode, qPrintable(QString::number(code) + QLatin1Char('\n') + QString::fromUtf8(tail)));

    QVERIFY2(log.contains(updated ? "Update successfully finished" : "Update cancelled"), tail.constData());
    QVERIFY2(log.contains(logged.toUtf8()), tail.constData());
    QCOMPARE(installation(root), updated ? newInstallation : before);
    QCOMPARE(snapshotTree(outside), outsideBefore);
    // Each faulty mirror was asked for files and showed its fault.
    for (int i = 0; i < mirrors.size(); ++i) {
        if (mirrors.at(i).isEmpty())
            continue;
        const QStringList asked = servers[i]->requestLog().filter(QStringLiteral("/files/"));
        QVERIFY2(!asked.isEmpty(), qPrintable(mirrors.at(i)));
        if (mirrors.at(i) == QLatin1String("redirect"))
            QVERIFY(servers[i]->requestLog().filter(QStringLiteral("/moved/")).isEmpty());
    }
    for (const QString& name : std::as_const(classes))
        ++tallies[name].intact;
}

void tst_Faults::cleanupTestCase()
{
    int crashes = 0;
    for (auto it = tallies.cbegin(); it != tallies.cend(); ++it) {
        qInfo("fault class '%s': %d runs, %d installations intact, %d crashes", qPrintable(it.key()),
              it->runs, it->intact, it->crashes);
        crashes += it->crashes;
    }
    QCOMPARE(crashes, 0);
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"

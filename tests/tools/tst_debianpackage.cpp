#include "support/referenceserver.h"
#include "support/testfiles.h"

#include <QDir>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <unistd.h>

namespace {
const QString packageName = QStringLiteral("quorvel-publisher");

// Runs a program to its end; its exit code, -1 when it did not run. Output goes to *output.
int run(const QString& program, const QStringList& args, QByteArray* output = nullptr, int timeoutMs = 240000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitCode();
}

int apt(const QStringList& args, QByteArray* output)
{
    // Other package work on the machine holds the lock for a while; wait for it.
    return run(QStringLiteral("apt-get"),
               QStringList{"-o", "DPkg::Lock::Timeout=200", "-y", "-q", "--no-install-recommends"} + args, output);
}
}

class tst_DebianPackage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void installsWhereFilesBelong();
};

void tst_DebianPackage::installsWhereFilesBelong()
{
    if (::geteuid() != 0)
        QSKIP("installing the package needs root; CI runs as root");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray output;
    QVERIFY2(run(QStringLiteral("cpack"), {"-G", "DEB", "--config", QUORVEL_BINARY_DIR "/CPackConfig.cmake", "-B",
                                           dir.path()}, &output) == 0,
             output.constData());
    const QStringList debs = QDir(dir.path()).entryList({packageName + QStringLiteral("_*.deb")}, QDir::Files);
    QCOMPARE(debs.size(), 1);

    QVERIFY2(apt({"install", "--reinstall", dir.filePath(debs.first())}, &output) == 0, output.constData());
    const auto removePackage = qScopeGuard([] {
        QByteArray ignored;
        apt({"remove", "--purge", packageName}, &ignored);
    });

    for (const char* file : {"/usr/bin/quorvel-publish", "/usr/bin/quorvel-update-server",
                             "/usr/share/man/man1/quorvel-publish.1", "/usr/share/man/man8/quorvel-update-server.8",
                             "/usr/share/doc/quorvel-publisher/example.conf", "/etc/quorvel/update-server.conf",
                             "/lib/systemd/system/quorvel-update-server.service"})
        QVERIFY2(QFileInfo::exists(QString::fromLatin1(file)), file);
    QVERIFY(QFileInfo(QStringLiteral("/usr/bin/quorvel-update-server")).isExecutable());
    // The served configuration is the administrator's: upgrades keep the edited copy.
    QCOMPARE(run(QStringLiteral("dpkg-query"), {"-W", "-f=${Conffiles}", packageName}, &output), 0);
    QVERIFY2(output.contains("/etc/quorvel/update-server.conf"), output.constData());

    const QByteArray unit = readTestFile(QStringLiteral("/lib/systemd/system/quorvel-update-server.service"));
    QVERIFY(unit.contains("\nDynamicUser=yes\n"));
    QVERIFY(unit.contains("\nExecReload=/bin/kill -HUP $MAINPID\n"));
    QVERIFY(unit.contains("\nExecStart=/usr/bin/quorvel-update-server --config /etc/quorvel/update-server.conf "));

    QCOMPARE(run(QStringLiteral("/usr/bin/quorvel-publish"), {"release", "--help"}, &output), 0);
    QVERIFY(output.startsWith("Usage: quorvel-publish release"));
    // The installed server serves the installed configuration as it comes.
    ReferenceServer server(QStringLiteral("/usr/bin/quorvel-update-server"));
    QVERIFY(server.start(QStringLiteral("/etc/quorvel/update-server.conf")));
    QUdpSocket socket;
    QVERIFY(socket.bind(QHostAddress(QHostAddress::LocalHost), 0));
    socket.writeDatagram(QByteArray("3\0", 2), QHostAddress(QHostAddress::LocalHost), server.versionPort());
    QVERIFY(socket.waitForReadyRead(5000));
    QCOMPARE(socket.receiveDatagram().data(), QByteArray("12345#3.1.0,12400#3.2.0 beta 1,"));
}

QTEST_GUILESS_MAIN(tst_DebianPackage)
#include "tst_debianpackage.moc"

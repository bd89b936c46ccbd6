// The real `update` executable, started as a process the way users and scripts start it.
#include "support/referenceserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString updateBinary = QStringLiteral(QUORVEL_BINARY_DIR "/src/update");

// An installation directory holding a copy of the executable.
bool install(const QTemporaryDir& dir, QString& executable)
{
    executable = dir.path() + QStringLiteral("/update");
    return QFile::copy(updateBinary, executable)
        && QFile::setPermissions(executable, QFile::permissions(updateBinary));
}

bool waitForText(QProcess& process, QByteArray& collected, const QByteArray& text, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!collected.contains(text)) {
        if (clock.elapsed() > timeoutMs || process.state() == QProcess::NotRunning)
            return collected.contains(text);
        process.waitForReadyRead(100);
        collected += process.readAllStandardError();
    }
    return true;
}

void stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(5000);
}
}

class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void invalidVersionEndsWithCodeOne();
    void versionZeroAsksServerAndShowsWindow();
    void secondStartRaisesFirstAndEndsWithZero();
    void copyInAnotherDirectoryIsNotBlocked();
    void removesOldSpecialFiles();

private:
    QProcessEnvironment environment() const;

    std::unique_ptr<QTemporaryDir> tmp;
};

void TestStartup::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
}

QProcessEnvironment TestStartup::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QUORVEL_AUTOCLOSE_DIALOGS"), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("quorvel.instance.info=true"));
    // The instance guard's socket files go here, away from other runs.
    env.insert(QStringLiteral("TMPDIR"), tmp->path());
    env.remove(QStringLiteral("QUORVEL_SCREENSHOT"));
    return env;
}

void TestStartup::invalidVersionEndsWithCodeOne()
{
    QTemporaryDir installation;
    QString executable;
    QVERIFY(install(installation, executable));
    QProcess update;
    update.setProcessEnvironment(environment());
    update.start(executable, {QStringLiteral("client_linux_amd64"), QStringLiteral("12x")});
    QVERIFY(update.waitForFinished(10000));
    QCOMPARE(update.exitStatus(), QProcess::NormalExit);
    QCOMPARE(update.exitCode(), 1);
    QVERIFY2(update.readAllStandardError().contains("Error: Invalid version nr (12x)"), "no error box");
}

void TestStartup::versionZeroAsksServerAndShowsWindow()
{
    QFile config(tmp->filePath(QStringLiteral("server.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[stable]\nversion = 4711\nlabel = 3.4.7\n[news]\ntext = Fresh news\n");
    config.close();
    ReferenceServer server;
    QVERIFY(server.start(config.fileName()));

    QTemporaryDir installation;
    QString executable;
    QVERIFY(install(installation, executable));
    const QString screenshot = tmp->filePath(QStringLiteral("window.png"));
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("QUORVEL_UPDATE_SERVER_ADDRESS"), server.address());
    env.insert(QStringLiteral("QUORVEL_SCREENSHOT"), screenshot);
    QProcess update;
    update.setProcessEnvironment(env);
    update.start(executable, {QStringLiteral("--nouser"), QStringLiteral("client_linux_amd64"), QStringLiteral("0")});
    QVERIFY(update.waitForFinished(15000));
    QCOMPARE(update.exitCode(), 0);
    QVERIFY(QImage(screenshot).width() > 0);
    QTRY_VERIFY(server.output().contains(QStringLiteral(" version-list ")));
    QTRY_VERIFY(server.output().contains(QStringLiteral(" news ")));
}

void TestStartup::secondStartRaisesFirstAndEndsWithZero()
{
    QTemporaryDir installation;
    QString executable;
    QVERIFY(install(installation, executable));
    const QStringList arguments{QStringLiteral("client_linux_amd64"), QStringLiteral("123")};

    QProcess first;
    first.setProcessEnvironment(environment());
    first.start(executable, arguments);
    QByteArray firstLog;
    QVERIFY2(waitForText(first, firstLog, "listening", 10000), firstLog.constData());

    QProcess second;
    second.setProcessEnvironment(environment());
    QElapsedTimer clock;
    clock.start();
    second.start(executable, arguments);
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(waitForText(first, firstLog, "window raised for another instance", 5000), firstLog.constData());
    QCOMPARE(first.state(), QProcess::Running);
    stop(first);
}

void TestStartup::copyInAnotherDirectoryIsNotBlocked()
{
    QTemporaryDir installation;
    QTemporaryDir otherInstallation;
    QString executable;
    QString otherExecutable;
    QVERIFY(install(installation, executable));
    QVERIFY(install(otherInstallation, otherExecutable));
    const QStringList arguments{QStringLiteral("client_linux_amd64"), QStringLiteral("123")};

    QProcess first;
    first.setProcessEnvironment(environment());
    first.start(executable, arguments);
    QByteArray firstLog;
    QVERIFY2(waitForText(first, firstLog, "listening", 10000), firstLog.constData());

    QProcess other;
    other.setProcessEnvironment(environment());
    other.start(otherExecutable, arguments);
    QByteArray otherLog;
    // The copy has its own guard name, so it starts its own window.
    QVERIFY2(waitForText(other, otherLog, "listening", 10000), otherLog.constData());
    QCOMPARE(other.state(), QProcess::Running);
    firstLog += first.readAllStandardError();
    QVERIFY(!firstLog.contains("window raised"));
    stop(other);
    stop(first);
}

void TestStartup::removesOldSpecialFiles()
{
    QTemporaryDir installation;
    QString executable;
    QVERIFY(install(installation, executable));
    QDir dir(installation.path());
    QVERIFY(dir.mkdir(QStringLiteral("imageformats")));
    QVERIFY(dir.mkdir(QStringLiteral("accessible")));
    const QStringList leftovers{QStringLiteral("_old_update"), QStringLiteral("imageformats/_old_libqjpeg.so"),
                                QStringLiteral("accessible/_old_libqtaccessiblewidgets.so")};
    // Each leftover beside its file; "_old_libqgif.so" alone, the only copy of that file.
    const QStringList kept{QStringLiteral("_old_other"), QStringLiteral("imageformats/_old_libqgif.so")};
    for (const QString& name : leftovers + kept + QStringList{"imageformats/libqjpeg.so",
                                                              "accessible/libqtaccessiblewidgets.so"}) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    QProcess update;
    update.setProcessEnvironment(environment());
    update.start(executable, {QStringLiteral("client_linux_amd64"), QStringLiteral("12x")});
    QVERIFY(update.waitForFinished(10000));
    QCOMPARE(update.exitCode(), 1);
    for (const QString& name : leftovers)
        QVERIFY2(!dir.exists(name), qPrintable(name));
    for (const QString& name : kept)
        QVERIFY2(dir.exists(name), qPrintable(name));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"

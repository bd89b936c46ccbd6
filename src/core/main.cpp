#include "core/configuration.h"
#include "core/singleinstancechecker.h"
#include "core/updateengine.h"
#include "ui/mainwindow.h"
#include "ui/screenshotseam.h"

#include <QApplication>
#include <QLocale>
#include <QTextEdit>
#include <QTimer>
#include <QTranslator>

#include <cstdio>

#ifdef QUORVEL_TEST_PROGRAM
#include "net/httpaccessmanager.h"
#include "update/storagecheck.h"

#include <QFile>
#endif

namespace {
// QUORVEL_PRINT_LOG=1: when the program ends, the window's log goes to standard output, for
// runs nobody watches (the demo without a display, process-level tests).
void printLogAtExit(const MainWindow& window)
{
    if (!qEnvironmentVariableIsSet("QUORVEL_PRINT_LOG"))
        return;
    const QTextEdit* log = window.findChild<QTextEdit*>(QStringLiteral("outputTextEdit"));
    if (!log)
        return;
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, log, [log] {
        std::fputs(qPrintable(log->toPlainText() + QLatin1Char('\n')), stdout);
        std::fflush(stdout);
    });
}

#ifdef QUORVEL_TEST_PROGRAM
// QUORVEL_TEST_CA_FILE=ca.pem, in update_test only: trust that certificate authority as well,
// for mirrors over HTTPS with certificates the tests make.
void addTestCertificateAuthority()
{
    const QString path = qEnvironmentVariable("QUORVEL_TEST_CA_FILE");
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        std::fprintf(stderr, "cannot read QUORVEL_TEST_CA_FILE %s\n", qPrintable(path));
    HttpAccessManager::setExtraCaCertificates(file.readAll());
}

// QUORVEL_TEST_TICK_MS=n, in update_test only: poll the transfers every n ms instead of every
// second, so that tests of stalled mirrors wait for 16 short ticks.
void setTestTickInterval()
{
    if (qEnvironmentVariableIsSet("QUORVEL_TEST_TICK_MS"))
        UpdateEngine::setTickInterval(qEnvironmentVariableIntValue("QUORVEL_TEST_TICK_MS"));
}

// QUORVEL_TEST_FREE_BYTES=n, in update_test only: every file system reports n bytes free, so
// tests of a full disk need no small file system of their own.
void setTestFreeBytes()
{
    bool ok = false;
    const qint64 bytes = qEnvironmentVariable("QUORVEL_TEST_FREE_BYTES").toLongLong(&ok);
    if (ok)
        StorageCheck::setAvailableBytesOverride(bytes);
}

// QUORVEL_TEST_AUTOSTART_MS=n, in update_test only: the unattended start waits n ms instead of
// 2000, for tests that start the program many times over.
int autoStartDelayMs(int shipped)
{
    bool ok = false;
    const int delay = qEnvironmentVariableIntValue("QUORVEL_TEST_AUTOSTART_MS", &ok);
    return ok && delay >= 0 ? delay : shipped;
}
#endif
}

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
#ifdef QUORVEL_TEST_PROGRAM
    addTestCertificateAuthority();
    setTestTickInterval();
    setTestFreeBytes();
#endif

    const QString root = Configuration::getAppRootPath();
    UpdateEngine::removeOldFiles(root);
    UpdateEngine::removeOldFiles(root + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(root + QStringLiteral("/accessible"));

    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    const QString locale = QLocale::system().name();
    // A translation that does not load is installed all the same and translates nothing.
    QTranslator updateTranslator;
    (void)updateTranslator.load(root + QStringLiteral("/translations/update_") + locale);
    QCoreApplication::installTranslator(&updateTranslator);
    QTranslator qtTranslator;
    (void)qtTranslator.load(root + QStringLiteral("/translations/qt_") + locale);
    QCoreApplication::installTranslator(&qtTranslator);

    // Declared in this order so that they are destroyed as the window, the configuration,
    // then the translators.
    Configuration configuration;
    MainWindow window(configuration);
    // Armed before the command line is read, so that a box shown there can be captured too.
    ScreenshotSeam::arm(&window);
    printLogAtExit(window);

    if (!configuration.parseCommandLineOptions())
        return 1;

    int autoStartMs = 2000;
#ifdef QUORVEL_TEST_PROGRAM
    autoStartMs = autoStartDelayMs(autoStartMs);
#endif
    // Precise: a coarse timer of this length may fire up to a tenth of a second early.
    if (configuration.unattended == 1)
        QTimer::singleShot(autoStartMs, Qt::PreciseTimer, &window, [&window] {
            QMetaObject::invokeMethod(&window, "onAutoStartUpdate");
        });
    window.setUIToConfigSpecs();
    window.show();
    window.setNews();
    return app.exec();
}

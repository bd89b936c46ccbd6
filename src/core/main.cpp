#include "buildconfig.h"
#include "core/configuration.h"
#include "core/exitcodes.h"
#include "core/singleinstancechecker.h"
#include "core/unixsignals.h"
#include "core/updateengine.h"
#include "ui/mainwindow.h"
#include "ui/messageboxes.h"
#include "ui/screenshotseam.h"

#include <QApplication>
#include <QLocale>
#include <QTextEdit>
#include <QTranslator>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <malloc.h>

#ifdef QUORVEL_TEST_PROGRAM
#include "core/updatechecker.h"
#include "net/httpaccessmanager.h"
#include "update/storagecheck.h"

#include <QFile>
#endif

namespace {
// Seconds the notice of a second start stays on screen.
constexpr int NoticeSeconds = 5;

const char* const usage = R"(Usage: update [--nouser] [TYPE VERSION [LABEL [NEWS]]]
       update --help | --version

Brings the Quorvel 3 client installed in this program's directory up to date from the
mirrors that mirrors.ini beside it lists.

  (no arguments)    ask the update server for the current version; the update
                    starts when the user clicks "Start Update"
  TYPE VERSION      update to that version of that client type, on a click
  --nouser [TYPE VERSION [LABEL [NEWS]]]
                    update unattended: the update starts by itself, the client is
                    started when it is done, and no box waits for anyone (each closes
                    itself after %d seconds); without a version the update server is
                    asked. LABEL "#" stands for no label.
  --help            show this text
  --version         show the updater's version

SIGINT or SIGTERM cancels a running update as the window's close does (downloads
stop, an install in progress is rolled back) and ends the program; a second
signal ends it at once.

Exit codes:
)";

// Printed by --help; the README's table says the same.
const struct
{
    ExitCode code;
    const char* meaning;
} exitCodes[] = {
    {ExitSuccess, "updated or already current; another update is already running; --help, --version"},
    {ExitConfiguration, "bad command line or configuration (update.ini, mirrors.ini, temporary directory)"},
    {ExitUpdateServer, "the update server did not answer or gave no usable version"},
    {ExitDownload, "a download failed on every mirror, or no mirror answered"},
    {ExitUntrusted, "the product description failed its signature check or could not be used"},
    {ExitInstall, "installing failed; the installation was rolled back"},
    {ExitCancelled, "cancelled by the user, SIGINT or SIGTERM"},
    {ExitStorage, "too little free space or no write access; nothing was downloaded or changed"},
};

// --help and --version need neither a display nor the installation: answered before the
// application object exists. False when the command line asks for neither.
bool answerInformationRequest(int argc, char* argv[])
{
    if (argc < 2)
        return false;
    const char* first = argv[1];
    if (std::strcmp(first, "--version") == 0) {
        std::printf("update %s (Quorvel 3 client updater)\n", QUORVEL_UPDATER_VERSION);
        return true;
    }
    if (std::strcmp(first, "--help") != 0 && std::strcmp(first, "-h") != 0)
        return false;
    std::printf(usage, MessageBoxes::UnattendedSeconds);
    for (const auto& row : exitCodes)
        std::printf("  %d  %s\n", int(row.code), row.meaning);
    return true;
}

// The notice of a second start: on stderr always, and as a box that closes itself unless
// the run is unattended.
void tellUpdateAlreadyRunning(bool unattended)
{
    const QString text = SingleInstanceChecker::alreadyRunningText();
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    if (!unattended)
        MessageBoxes::notice(nullptr, QCoreApplication::translate("MainWindow", "Quorvel 3 Client Update"), text,
                             NoticeSeconds);
}

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

// QUORVEL_TEST_COUNTDOWN_TICK_MS=n, in update_test only: a second of a box's countdown lasts
// n ms. QUORVEL_TEST_QUERY_TIMEOUT_MS=n: the version query waits n ms for each answer.
void setTestTimeouts()
{
    if (qEnvironmentVariableIsSet("QUORVEL_TEST_COUNTDOWN_TICK_MS"))
        MessageBoxes::setCountdownTick(qEnvironmentVariableIntValue("QUORVEL_TEST_COUNTDOWN_TICK_MS"));
    if (qEnvironmentVariableIsSet("QUORVEL_TEST_QUERY_TIMEOUT_MS"))
        UpdateChecker::setDefaultReceiveTimeout(qEnvironmentVariableIntValue("QUORVEL_TEST_QUERY_TIMEOUT_MS"));
}
#endif
}

int main(int argc, char* argv[])
{
    if (answerInformationRequest(argc, argv))
        return ExitSuccess;
    // Qt's own event loop rather than GLib's: GLib's writes to an eventfd for every posted
    // event, several system calls per downloaded file. A user's explicit choice stays.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    // Two heaps at most: each thread that allocates (list checks, file preparer, libcurl's
    // resolver) would otherwise get a heap of its own, kept half empty for the rest of the run.
    // The threads rarely allocate at once. A user's MALLOC_ARENA_MAX stays.
    if (!qEnvironmentVariableIsSet("MALLOC_ARENA_MAX"))
        mallopt(M_ARENA_MAX, 2);
    QApplication app(argc, argv);
    // From here on a signal waits for the event loop; a second one ends the program at once.
    UnixSignals unixSignals({SIGINT, SIGTERM}, true);
#ifdef QUORVEL_TEST_PROGRAM
    addTestCertificateAuthority();
    setTestTickInterval();
    setTestTimeouts();
    setTestFreeBytes();
#endif
    // Known before the command line is evaluated: the version query may show a box.
    const bool unattended = QCoreApplication::arguments().value(1) == QLatin1String("--nouser");
    MessageBoxes::setUnattended(unattended);

    const QString root = Configuration::getAppRootPath();
    UpdateEngine::removeOldFiles(root);
    UpdateEngine::removeOldFiles(root + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(root + QStringLiteral("/accessible"));

    const QString locale = QLocale::system().name();
    // A translation that does not load is installed all the same and translates nothing.
    // Installed before the instance check, whose notice is translated too.
    QTranslator updateTranslator;
    (void)updateTranslator.load(root + QStringLiteral("/translations/update_") + locale);
    QCoreApplication::installTranslator(&updateTranslator);
    QTranslator qtTranslator;
    (void)qtTranslator.load(root + QStringLiteral("/translations/qt_") + locale);
    QCoreApplication::installTranslator(&qtTranslator);

    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#"))) {
        tellUpdateAlreadyRunning(unattended);
        return ExitSuccess;
    }

    // Declared in this order so that they are destroyed as the window, the configuration,
    // then the translators.
    Configuration configuration;
    MainWindow window(configuration);
    // Armed before the command line is read, so that a box shown there can be captured too.
    ScreenshotSeam::arm(&window);
    printLogAtExit(window);
    bool interrupted = false;
    QObject::connect(&unixSignals, &UnixSignals::received, &window, [&window, &interrupted](int number) {
        interrupted = true;
        window.cancelAndQuit(QStringLiteral("Received %1").arg(number == SIGINT ? "SIGINT" : "SIGTERM"));
    });

    if (!configuration.parseCommandLineOptions()) {
        if (interrupted)
            return ExitCancelled;
        return configuration.versionQueryFailed ? ExitUpdateServer : ExitConfiguration;
    }

    int autoStartMs = 2000;
#ifdef QUORVEL_TEST_PROGRAM
    autoStartMs = autoStartDelayMs(autoStartMs);
#endif
    window.setUIToConfigSpecs();
    if (configuration.unattended == 1)
        window.startAutomaticallyIn(autoStartMs);
    window.show();
    window.setNews();
    return app.exec();
}

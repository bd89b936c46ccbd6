#include "ui/mainwindow.h"

#include "buildconfig.h"
#include "core/configuration.h"
#include "core/exitcodes.h"
#include "core/processtools.h"
#include "core/singleinstancechecker.h"
#include "core/updateengine.h"
#include "core/updateinidata.h"
#include "ui/changelogviewer.h"
#include "ui/messageboxes.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QPixmap>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <unistd.h>

// Off by default; QT_LOGGING_RULES="quorvel.instance.info=true" shows the guard's activity.
Q_LOGGING_CATEGORY(lcInstance, "quorvel.instance", QtWarningMsg)

// The images are compiled into the static library; nothing else pulls them into the program.
static void loadResources()
{
    static const bool loaded = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(loaded);
}

namespace {
// QUORVEL_LOG_STDERR=1 also writes every log line to stderr, stamped with the wall clock in
// seconds, so benchmarks and scripts can see where an update spends its time.
bool logOnStderr()
{
    static const bool enabled = qEnvironmentVariableIntValue("QUORVEL_LOG_STDERR") == 1;
    return enabled;
}

// A stream of its own on standard error, buffered unless a person watches it: stderr itself
// is unbuffered, one system call per line, thousands per second in an update of many files.
// The window flushes it 50 ms after a line; the stamps are taken when the line is logged.
FILE* logCopyStream()
{
    static FILE* stream = [] {
        FILE* copy = nullptr;
        const int fd = ::isatty(STDERR_FILENO) ? -1 : ::dup(STDERR_FILENO);
        if (fd >= 0 && !(copy = ::fdopen(fd, "w")))
            ::close(fd);
        if (!copy)
            return stderr;
        std::setvbuf(copy, nullptr, _IOFBF, 1 << 16);
        return copy;
    }();
    return stream;
}

void mirrorLogLine(const QString& text)
{
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    std::fprintf(logCopyStream(), "[%lld.%03lld] %s\n", ms / 1000, ms % 1000, text.toLocal8Bit().constData());
}

QString smallText(const QString& text)
{
    return QStringLiteral("<span style=\"font-size:small;\">") + text + QStringLiteral("</span>");
}
}

MainWindow::MainWindow(Configuration& configuration)
    : QWidget(nullptr)
    , configuration(configuration)
{
    loadResources();
    engine = new UpdateEngine(configuration, this);
    connect(engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    ui.setupUi(this);
    // Queued, so that the log's visibility has changed when it runs.
    connect(ui.detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed, Qt::QueuedConnection);

    const QString website = QStringLiteral(QUORVEL_WEBSITE_URL);
    ui.quorvelLabel->setUrl(website);
    ui.copyrightLabel->setText(smallText(tr("Quorvel 3 updater &middot; <a href=\"%1\">%2</a>")
                                             .arg(website.toHtmlEscaped(), QUrl(website).host().toHtmlEscaped())));
    ui.outputTextEdit->hide();
    // No empty gap where no banner came: the fixed-size window shrinks to what it shows.
    ui.banner->hide();
    ui.outputTextEdit->document()->setMaximumBlockCount(maximumLogLines);
    logTimer.setSingleShot(true);
    connect(&logTimer, &QTimer::timeout, this, &MainWindow::flushLog);
    logCopyTimer.setSingleShot(true);
    connect(&logCopyTimer, &QTimer::timeout, this, [] { std::fflush(logCopyStream()); });
    onDownloadProgress(0, 0, 0, false);
    // Outside a dialog only the default button takes Enter; these act on their own, too.
    ui.detailsButton->setAutoDefault(true);
    ui.changelogButton->setAutoDefault(true);
    // The first control in reading order is the news: with the focus there it would stand still.
    ui.startButton->setFocus();
    autoStartTimer.setSingleShot(true);
    // A coarse timer of this length may fire up to a tenth of a second early.
    autoStartTimer.setTimerType(Qt::PreciseTimer);
    connect(&autoStartTimer, &QTimer::timeout, this, &MainWindow::onAutoStartUpdate);
    countdownTimer.setInterval(1000);
    connect(&countdownTimer, &QTimer::timeout, this, &MainWindow::showCountdown);
    progressTimer.setSingleShot(true);
    connect(&progressTimer, &QTimer::timeout, this, &MainWindow::flushProgress);
    assistiveTechnology = QAccessible::isActive();
    QAccessible::installActivationObserver(this);

    auto* instanceServer = new SingleInstanceChecker(this);
    connect(instanceServer, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);
    qCInfo(lcInstance) << "instance guard" << SingleInstanceChecker::getLocalServerName()
                       << (instanceServer->isListening() ? "listening" : "not listening");

    connect(&configuration, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
    engine->getBanner();
}

MainWindow::~MainWindow()
{
    QAccessible::removeActivationObserver(this);
}

void MainWindow::accessibilityActiveChanged(bool active)
{
    assistiveTechnology = active;
    if (!active)
        flushProgress();
}

void MainWindow::setUIToConfigSpecs()
{
    QString channelName;
    switch (configuration.channel) {
    case Stable:
        channelName = tr("Stable");
        break;
    case Beta:
        channelName = tr("Beta");
        break;
    case Alpha:
        channelName = tr("Alpha");
        break;
    }

    QString header;
    if (!configuration.versionLabel.isEmpty()) {
        // The label comes from the server or the command line: shown as plain text and elided,
        // so that neither markup nor a long word can widen the window beyond the screen.
        QFont bold = ui.versionLabel->font();
        bold.setBold(true);
        bold.setPixelSize(14);
        const QString label = QFontMetrics(bold).elidedText(configuration.versionLabel, Qt::ElideRight,
                                                            maximumLabelWidth);
        header += QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">");
        header += tr("Update to Quorvel %1").arg(label.toHtmlEscaped());
        header += QStringLiteral("</div>");
    }
    const QString installed = installedVersionText();
    if (!installed.isEmpty())
        header += QStringLiteral("<div>") + tr("Installed: %1").arg(installed.toHtmlEscaped()) + QStringLiteral("</div>");
    header += QStringLiteral("<div style=\"margin-top:8px\">");
    header += tr("You are currently on <strong>%1 channel</strong>.").arg(channelName);
    header += QStringLiteral("</div>");
    ui.versionLabel->setText(header);

    if (configuration.unattended == 1) {
        ui.startButton->setEnabled(false);
        ui.detailsButton->setFocus();
    }
}

// What the last successful update here installed; empty when no update has succeeded yet.
QString MainWindow::installedVersionText() const
{
    int version = 0;
    QString label;
    if (!UpdateIniData::getInstalled(&version, &label))
        return QString();
    if (label.isEmpty())
        label = QString::number(version);
    return QFontMetrics(ui.versionLabel->font()).elidedText(label, Qt::ElideRight, maximumLabelWidth);
}

void MainWindow::startAutomaticallyIn(int delayMs)
{
    autoStartTimer.start(qMax(0, delayMs));
    countdownTimer.start();
    showCountdown();
}

void MainWindow::showCountdown()
{
    if (!autoStartTimer.isActive()) {
        countdownTimer.stop();
        return;
    }
    const int seconds = (autoStartTimer.remainingTime() + 999) / 1000;
    ui.totalProgressBar->setFormat(tr("Update starts in %1 s").arg(qMax(1, seconds)));
}

void MainWindow::setNews()
{
    ui.newsBanner->setNews(configuration.newsText);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!engine->busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (closeRequested)
        return;
    const auto answer = MessageBoxes::question(
        this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    if (engine->busy()) {
        closeRequested = true;
        engine->cancelUpdate();
    } else {
        // The update ended while the question was open: nothing is left to cancel.
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Reaches the window only from a control that has no use for Enter itself.
        if (plain && ui.startButton->isEnabled()) {
            ui.startButton->click();
            return;
        }
        break;
    case Qt::Key_Escape:
        // Asks first, as closing does; when nothing runs there is nothing to cancel.
        if (plain && engine->busy()) {
            close();
            return;
        }
        break;
    default:
        break;
    }
    QWidget::keyPressEvent(event);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    MessageBoxes::critical(nullptr, QCoreApplication::translate("QObject", "Error"), errorMessage);
    QCoreApplication::exit(ExitConfiguration);
}

// Every fatal error of the engine is about the installation's own files: the mirror list,
// the alpha channel's settings, the signature library.
void MainWindow::onFatalError(QString errorMessage)
{
    MessageBoxes::critical(this, QCoreApplication::translate("QObject", "Error"), errorMessage);
    QCoreApplication::exit(ExitConfiguration);
}

void MainWindow::onError(QString errorMessage)
{
    onAppendText(errorMessage);
    flushLog();
    MessageBoxes::critical(this, QCoreApplication::translate("QObject", "Error"), errorMessage);
}

void MainWindow::onAutoStartUpdate()
{
    on_startButton_clicked();
}

void MainWindow::on_startButton_clicked()
{
    if (updateDone) {
        ProcessTools::startQv3Client();
        close();
        return;
    }
    if (engine->busy())
        return;
    autoStartTimer.stop();
    countdownTimer.stop();
    ui.totalProgressBar->setFormat(QStringLiteral("%p%"));
    if (engine->initialize()) {
        ui.startButton->setEnabled(false);
        progressReached = 0;
        showProgress(0, true);
        engine->startUpdate();
    }
}

void MainWindow::onAppendText(QString text)
{
    if (logOnStderr()) {
        mirrorLogLine(text);
        if (!logCopyTimer.isActive())
            logCopyTimer.start(50);
    }
    if (configuration.unattended == 1 && !logOnStderr()) {
        if (!scriptLog.isEmpty())
            scriptLog += '\n';
        scriptLog += text.toLocal8Bit();
    }
    pendingLog.append(text);
    // A hidden log is not laid out at all: it keeps the lines it would show, and showing
    // it (or the end of the update) puts them in.
    if (!ui.outputTextEdit->isVisible()) {
        if (pendingLog.size() >= 2 * maximumLogLines)
            pendingLog.remove(0, pendingLog.size() - maximumLogLines);
        return;
    }
    if (!logTimer.isActive())
        logTimer.start(50);
}

void MainWindow::flushLog()
{
    logTimer.stop();
    if (pendingLog.isEmpty())
        return;
    QScrollBar* bar = ui.outputTextEdit->verticalScrollBar();
    const bool followEnd = bar->value() == bar->maximum();
    QTextCursor cursor(ui.outputTextEdit->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    // Lines the window would drop at once are not laid out at all.
    const qsizetype skipped = qMax<qsizetype>(0, pendingLog.size() - maximumLogLines);
    for (qsizetype i = skipped; i < pendingLog.size(); ++i) {
        if (!ui.outputTextEdit->document()->isEmpty())
            cursor.insertBlock();
        // As plain text: log lines can carry what a server sent.
        cursor.insertText(pendingLog.at(i));
    }
    cursor.endEditBlock();
    pendingLog.clear();
    if (followEnd)
        bar->setValue(bar->maximum());
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    const int value = int(doneFrac * 1000);
    progressReached = qMax(progressReached, value);
    showProgress(value, false);
}

// QProgressBar tells assistive technology of every value it takes, so while one listens the
// bar itself moves in steps; a sighted user without one sees it move smoothly.
void MainWindow::showProgress(int value, bool now)
{
    const bool due = !sinceProgressShown.isValid() || sinceProgressShown.hasExpired(progressAnnounceMs);
    if (now || due || !assistiveTechnology) {
        progressTimer.stop();
        pendingProgress = -1;
        if (value != ui.totalProgressBar->value()) {
            ui.totalProgressBar->setValue(value);
            sinceProgressShown.start();
        }
        return;
    }
    pendingProgress = value;
    if (!progressTimer.isActive())
        progressTimer.start(int(qMax<qint64>(0, progressAnnounceMs - sinceProgressShown.elapsed())));
}

// A new step of the update: what is pending is shown now.
void MainWindow::flushProgress()
{
    if (pendingProgress >= 0)
        showProgress(pendingProgress, true);
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading)
{
    ui.downloadSizeLabel->setVisible(downloading);
    ui.downloadSpeedLabel->setVisible(downloading);
    if (downloading != downloadingShown) {
        downloadingShown = downloading;
        flushProgress();
    }
    if (!downloading)
        return;
    ui.downloadSizeLabel->setText(smallText(tr("%1 KB / %2 KB").arg(downloadDone / 1000).arg(downloadTotal / 1000)));
    ui.downloadSpeedLabel->setText(smallText(tr("%1 KB/s").arg(speed / 1000)));
}

void MainWindow::onUpdateFinished()
{
    flushLog();
    flushProgress();
    updateDone = true;
    // A cancel that came too late to stop the update still ends the program.
    if (closeRequested) {
        QCoreApplication::exit(ExitSuccess);
        return;
    }
    ui.startButton->setText(tr("Start Quorvel"));
    if (configuration.unattended == 1 && !ChangeLogViewer::instance()) {
        QTimer::singleShot(1000, this, &MainWindow::on_startButton_clicked);
        return;
    }
    ui.startButton->setFocus();
    ui.startButton->setEnabled(true);
}

void MainWindow::onUpdateCanceled()
{
    if (closeRequested) {
        printLogForScripts();
        QCoreApplication::exit(ExitCancelled);
        return;
    }
    const ExitCode outcome = engine->outcome();
    updateDone = false;
    engine->reset();
    // Says what a click does again; the bar keeps how far this attempt came.
    ui.startButton->setText(tr("Retry Update"));
    ui.startButton->setEnabled(true);
    ui.startButton->setFocus();
    onAppendText(tr("Update cancelled"));
    flushLog();
    showProgress(progressReached, true);
    ui.totalProgressBar->setFormat(tr("Stopped at %p%"));
    printLogForScripts();
    MessageBoxes::critical(this, tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons."));
    // Nobody is there to push "Restart".
    if (configuration.unattended == 1)
        QCoreApplication::exit(outcome);
}

// Unattended, nobody can push "Details": the reasons go where a script finds them.
void MainWindow::printLogForScripts()
{
    if (configuration.unattended != 1 || logOnStderr())
        return;
    std::fprintf(stderr, "%s\n", scriptLog.constData());
    std::fflush(stderr);
}

void MainWindow::cancelAndQuit(const QString& reason)
{
    onAppendText(reason);
    if (engine->busy()) {
        closeRequested = true;
        engine->cancelUpdate();
        return;
    }
    QCoreApplication::exit(updateDone ? ExitSuccess : ExitCancelled);
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
    qCInfo(lcInstance) << "window raised for another instance";
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    const QImage image = QImage::fromData(bannerImage);
    if (image.isNull())
        return;
    const QUrl url(clickUrl);
    ui.banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host()));
    ui.banner->setUrl(clickUrl);
    ui.banner->setAccessibleDescription(ui.banner->toolTip());
    ui.banner->setPixmap(QPixmap::fromImage(image));
    ui.banner->show();
}

void MainWindow::onDetailsPressed()
{
    flushLog();
    if (!ui.outputTextEdit->isVisible())
        return;
    QScrollBar* bar = ui.outputTextEdit->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void MainWindow::on_changelogButton_clicked()
{
    ChangeLogViewer::showRemoteChangeLogDialog(this, QString::number(configuration.clientVersion));
}

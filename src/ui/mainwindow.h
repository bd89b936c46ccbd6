#pragma once

#include "ui_mainwindow.h"

#include <QAccessible>
#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

class Configuration;
class UpdateEngine;

// The updater's only window: the target version and channel, the news and the banner, the
// progress, the download size and speed, the log and the start button. It owns the update
// engine and the server side of the single-instance guard.
class MainWindow : public QWidget, private QAccessible::ActivationObserver
{
    Q_OBJECT

public:
    // Does not take ownership of the configuration, which outlives the window.
    explicit MainWindow(Configuration& configuration);
    ~MainWindow() override;

    // Header text and the start button's initial state.
    void setUIToConfigSpecs();
    void setNews();
    // Ends the program as a confirmed close does, without asking: a running update is
    // cancelled (and an install rolled back) first. The reason goes into the log.
    void cancelAndQuit(const QString& reason);
    // The unattended start: after delayMs, counted down in the progress bar so that nobody is
    // surprised when the update begins by itself.
    void startAutomaticallyIn(int delayMs);

    // The longest version label shown in full in the header; longer ones are elided.
    static constexpr int maximumLabelWidth = 380;
    // Lines the window's log keeps, the newest, as a terminal does: an update of many files
    // would otherwise lay out and hold every line of every file.
    static constexpr int maximumLogLines = 5000;
    // While assistive technology listens, the progress reaches it at most this often (and at
    // each step of the update): a screen reader would otherwise read out every per mille.
    static constexpr int progressAnnounceMs = 3000;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Assistive technology came or went.
    void accessibilityActiveChanged(bool active) override;

private Q_SLOTS:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void onAutoStartUpdate();
    void on_startButton_clicked();
    void onAppendText(QString text);
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();
    void on_changelogButton_clicked();

private:
    // Shows the lines gathered since the last call, in one edit of the document.
    void flushLog();
    void printLogForScripts();
    QString installedVersionText() const;
    void showCountdown();
    // Sets the progress bar; throttled while assistive technology is active, unless `now`.
    void showProgress(int value, bool now);
    void flushProgress();

    Ui_MainWindow ui;
    // Log lines wait here for a moment: laying out the document once per line would cost
    // an update of many small files more than its work.
    QStringList pendingLog;
    QTimer logTimer;
    QTimer logCopyTimer;
    QTimer autoStartTimer;
    QTimer countdownTimer;
    // The progress that waits for its turn to reach assistive technology; -1 when none.
    int pendingProgress = -1;
    QElapsedTimer sinceProgressShown;
    QTimer progressTimer;
    bool downloadingShown = false;
    // The furthest this attempt came: a cancelled task tree reports its progress as 0.
    int progressReached = 0;
    bool assistiveTechnology = false;
    // Unattended, every line, for printLogForScripts; the window keeps only the newest.
    QByteArray scriptLog;
    Configuration& configuration;
    UpdateEngine* engine = nullptr;
    bool updateDone = false;
    bool closeRequested = false;
};

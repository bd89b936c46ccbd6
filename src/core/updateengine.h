#pragma once

#include "core/exitcodes.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class Configuration;
class Mirrors;
class HttpAccessManager;
class QNetworkAccessManager;
class QNetworkReply;
class MainTaskSpecification;
class QTimer;

// Drives one update at a time for the main window: owns the network access manager with its
// proxy, the mirror pool and the root task of the running update, and turns the task tree's
// outcome into updateFinished or updateCanceled.
class UpdateEngine : public QObject
{
    Q_OBJECT

public:
    enum EngineState {
        Idle = 0,
        Initialized = 1,
        Running = 2,
        Finished = 3,
        Canceled = 4
    };

    // Does not take ownership of the configuration, which outlives the engine.
    UpdateEngine(Configuration& configuration, QObject* parent);

    // Prepares an update: reuses or removes what an interrupted session left, writes the
    // session record and loads a fresh mirror pool. True when startUpdate may follow.
    bool initialize();
    // Builds the task tree of one update and starts it. Always true.
    bool startUpdate();
    bool busy() const;
    // Back to Idle after a cancellation.
    void reset();
    // Removes the temporary directory named in the session record, and the record.
    void cleanup();
    // Asks the update server for a banner; bannerFound follows if one is found.
    void getBanner();
    EngineState getState() const { return state; }
    // How the last update ended, as the program's exit code; success until one has ended.
    ExitCode outcome() const { return lastOutcome; }
    HttpAccessManager* getNetworkManager() const { return networkManager; }

    // Empties a directory recursively; the directory itself stays. Symbolic links are
    // neither followed nor removed.
    void cleanupDirectory(const QString& directory);
    // Deletes the "_old_" copies of the special files left in one directory by an earlier
    // update. Needs no engine.
    static void removeOldFiles(const QString& directory);
    // Period of the progress poll that also times stalled transfers out (1000 ms). Only
    // the test program shortens it, so that a stall costs its tests less than 16 s.
    static void setTickInterval(int milliseconds);

public Q_SLOTS:
    void cancelUpdate();

Q_SIGNALS:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

private Q_SLOTS:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();

private:
    void applyProxySetting();
    static ExitCode outcomeOf(const MainTaskSpecification& task);
    void dropMainTask();
    void dropBannerReply();
    // Empties and removes a session's temporary directory; report says how it went.
    void removeSessionDirectory(const QString& directory, bool report);

    EngineState state = Idle;
    ExitCode lastOutcome = ExitSuccess;
    Configuration& configuration;
    Mirrors* mirrors = nullptr;
    MainTaskSpecification* mainTask = nullptr;
    QTimer* timer = nullptr;
    HttpAccessManager* networkManager = nullptr;
    QString bannerClickUrl;
    QNetworkReply* bannerReply = nullptr;
};

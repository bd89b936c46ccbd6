#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class Configuration;
class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class TaskSpecification;

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

    bool busy() const;
    EngineState getState() const { return state; }

    // Empties a directory recursively; the directory itself stays. Symbolic links are
    // neither followed nor removed.
    void cleanupDirectory(const QString& directory);
    // Deletes the "_old_" copies of the special files left in one directory by an earlier
    // update. Needs no engine.
    static void removeOldFiles(const QString& directory);

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

private:
    void applyProxySetting();

    EngineState state = Idle;
    Configuration& configuration;
    Mirrors* mirrors = nullptr;
    // The root task; only the task interface is needed here.
    TaskSpecification* mainTask = nullptr;
    QTimer* timer = nullptr;
    QNetworkAccessManager* networkManager = nullptr;
    QString bannerClickUrl;
    QNetworkReply* bannerReply = nullptr;
};

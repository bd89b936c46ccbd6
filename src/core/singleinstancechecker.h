#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user. The class-level client side hands a running
// instance an activation message; an object is the server side that receives such messages.
// The socket lives in a directory only the user can enter (XDG_RUNTIME_DIR, else a private
// directory in the temporary directory), and only a peer running as the same user counts.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT

public:
    // Takes over the server that checkExistingInstance started in this process, or checks and
    // starts listening itself. A socket left by a crashed instance is taken over.
    explicit SingleInstanceChecker(QObject* parent);
    ~SingleInstanceChecker() override;

    // True when a running instance received the message. Otherwise this process now listens,
    // in the same step under a lock, so that of simultaneous starts exactly one goes on.
    // Blocks for at most a few seconds.
    static bool checkExistingInstance(const QString& message);
    static QString getLocalServerName();
    // Full path of the socket; empty when no private directory can be had.
    static QString getLocalServerPath();

    bool isListening() const;
    // What a second start tells the user, translated.
    static QString alreadyRunningText();

Q_SIGNALS:
    void otherInstanceActivate(QString message);

private Q_SLOTS:
    void onNewConnection();
    void onReadyRead();

private:
    void disposeConnection();

    QLocalServer* server = nullptr;
    QLocalSocket* connection = nullptr;
};

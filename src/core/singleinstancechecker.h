#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user. The class-level client side hands a running
// instance an activation message; an object is the server side that receives such messages.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT

public:
    // Starts listening under getLocalServerName(). A name left behind by a crashed
    // instance (nobody answers on it) is taken over.
    explicit SingleInstanceChecker(QObject* parent);
    ~SingleInstanceChecker() override;

    // True when a running instance received the message. Blocks for at most about 2 s.
    static bool checkExistingInstance(const QString& message);
    static QString getLocalServerName();

    bool isListening() const;

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

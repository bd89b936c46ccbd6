#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QObject>
#include <QUrl>

#include <memory>

class DigestStream;
class QNetworkAccessManager;
class QNetworkReply;

// What to fetch from a mirror and what to make of it.
struct CheckRequest
{
    QUrl url;
    qint64 listedSize = -1;  // the size the product ini lists; -1: none (the ini, its signature)
    qint64 maximumSize = -1; // the body's cap when no size is listed
    bool sizeOnly = false;   // ask for the size alone (a one-byte range), no body
    bool hash = false;       // digest of the body, with `algorithm`
    QCryptographicHash::Algorithm algorithm = QCryptographicHash::Md5;
    QString savePath;        // keep the body in this file; empty: nowhere
};

// One file on one mirror, over the updater's transport: is it there, of the listed size, and
// what is its digest. Memory stays flat whatever the file's size: the transfer waits while the
// digest lags behind. Emits done() once; the digest is the caller's to compare.
class FileCheck : public QObject
{
    Q_OBJECT

public:
    enum Verdict {
        Pending,
        Good,        // there, of the listed size (not longer than the cap); digest() set when asked for
        Missing,     // the mirror answered with an HTTP status other than success
        WrongSize,   // another size than listed, or longer than the cap
        Unreachable, // no HTTP answer: refused, timed out, cut off
        LocalError   // the body could not be saved; reason() says why
    };

    FileCheck(QNetworkAccessManager* manager, const CheckRequest& request, QObject* parent = nullptr);
    ~FileCheck() override;

    void start();
    Verdict verdict() const { return result; }
    QByteArray digest() const { return digestValue; }
    // Why the mirror is unreachable, in a few words ("connection refused"), or the local error.
    QString reason() const { return reasonText; }

Q_SIGNALS:
    void bytesReceived(qint64 count);
    void done();

private:
    void onMetaData();
    void onFinished();
    void pump();
    void conclude();
    void end(Verdict verdict);
    void dropReply();
    Verdict verdictForError();

    QNetworkAccessManager* manager;
    CheckRequest request;
    std::unique_ptr<QNetworkReply> reply;
    DigestStream* digestStream = nullptr;
    QFile saved;
    qint64 received = 0;
    qint64 rangeSize = -1; // the file's size as a range answer gives it
    bool replyFinished = false;
    bool finishing = false;
    Verdict result = Pending;
    QByteArray digestValue;
    QString reasonText;
};

#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QNetworkReply;
class QTextEdit;
class QTimer;

// The release notes of the target version, fetched as plain text from the alpha server or
// from the mirrors in random order, each tried at most once. At most one dialog exists.
class ChangeLogViewer : public QDialog
{
    Q_OBJECT

public:
    // Creates the dialog on first use and fetches; later calls only bring it to the front.
    static void showRemoteChangeLogDialog(QWidget* parent, const QString& version);
    // The open dialog, or null.
    static ChangeLogViewer* instance() { return m_instance; }

    explicit ChangeLogViewer(QWidget* parent = nullptr);
    ~ChangeLogViewer() override;

    void requestRemote(QString requestedVersion);

    // A source that sends more than this is abandoned like a failed one.
    static constexpr qint64 maximumChangeLogBytes = 4 * 1024 * 1024;

private Q_SLOTS:
    void onRequestFinished();
    void onRequestTimeout();

private:
    QString getRemoteUrl();
    QString getRandomMirror();
    void load(const QString& text);

    static ChangeLogViewer* m_instance;

    QTextEdit* textEdit = nullptr;
    QNetworkAccessManager* networkManager = nullptr;
    QPointer<QNetworkReply> pendingReply;
    QTimer* timeoutTimer = nullptr;
    QStringList mirrorUrls;
    bool urlsLoaded = false;
    QString version;
};

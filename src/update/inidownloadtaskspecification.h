#pragma once

#include "tasks/composedtaskspecification.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// Phase 1 of an update: makes sure the working directory holds the product ini of the
// client type and its ".sig", and that the signature verifies. Files left by an interrupted
// update are reused on the first attempt; after a failed check both are fetched again,
// up to MaxRetries times, each retry later than the one before. When every mirror of the
// pool has served the same failing pair, no retry can help: the task ends at once.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    static constexpr int MaxRetries = 1000;

    // Nothing is owned.
    IniDownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors, Configuration* config,
                                 QObject* parent, double parentProgressRange);

    void execute() override;
    void reset() override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    int getRetryCount() const { return retryCount; }
    // True when the last run ended in an error because the product ini did not verify,
    // false when a download failed (or the run did not fail).
    bool signatureRefused() const;
    // True once the task ended because the pool only serves a pair this updater's key rejects.
    bool isUntrusted() const { return untrusted; }
    // The error the task reports then, for the product ini of that name.
    static QString untrustedText(const QString& iniName);
    // Wait before retry n (1, 2, ...): first * 2^(n-1), at most cap. Tests shorten it.
    static int retryDelayMs(int retry);
    static void setRetryDelay(int firstMs, int capMs);

public Q_SLOTS:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    // What one failing pair of files was served by, and how often it failed.
    struct FailedPair
    {
        QSet<QString> mirrors;
        QStringList servedBy; // "name (address)"
        int failures = 0;
    };

    void makeSubtasksAndStart();
    void discardAttempt();
    // Hash of the ini and its signature as they are in the working directory.
    QByteArray pairHash() const;
    bool servedByWholePool(const FailedPair& pair) const;

    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* config;
    int retryCount = 0;
    QHash<QByteArray, FailedPair> failedPairs;
    QStringList avoid; // mirrors that served the last failing pair
    QTimer backoff;
    bool untrusted = false;
};

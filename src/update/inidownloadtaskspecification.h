#pragma once

#include "tasks/composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// Phase 1 of an update: makes sure the working directory holds the product ini of the
// client type and its ".sig", and that the signature verifies. Files left by an interrupted
// update are reused on the first attempt; after a failed check both are fetched again,
// up to MaxRetries times.
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

    int getRetryCount() const { return retryCount; }
    // True when the last run ended in an error because the product ini did not verify,
    // false when a download failed (or the run did not fail).
    bool signatureRefused() const;

public Q_SLOTS:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* config;
    int retryCount = 0;
};

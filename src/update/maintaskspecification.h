#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/filespecifications.h"

#include <QPointer>

class Configuration;
class IniDownloadTaskSpecification;
class MakeDownloadReplaceListTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// Why an update did not finish, for callers that treat failures differently.
enum class UpdateFailure {
    None,               // finished, or still running
    UserCanceled,
    UntrustedSignature, // every mirror serves a product ini this updater's key rejects
    Storage,            // too little free space or no write access, found before any download
    Other
};

// The root of one update: the product ini, the lists, the downloads, the installation and
// the deletions, one phase after the other. The phases share the lists held here.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // Takes ownership of none of the three; they outlive the task.
    MainTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors, Configuration* configuration,
                          QObject* parent, double parentProgressRange);

    void execute() override;
    void reset() override;

    const FileSpecifications& getFileSpecifications() const { return fileSpecifications; }
    // Meaningful once the task has ended.
    UpdateFailure getFailure() const;

private:
    void makeSubtasksAndStart();
    void onInstalled();

    QPointer<IniDownloadTaskSpecification> iniPhase;
    QPointer<MakeDownloadReplaceListTaskSpecification> listPhase;

    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* configuration;
    FileSpecifications fileSpecifications;
};

#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/filespecifications.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The root of one update: the product ini, the lists, the downloads, the installation and
// the deletions, one phase after the other. The phases share the lists held here.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // Takes ownership of none of the three; they outlive the task.
    MainTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors, Configuration* configuration,
                          QObject* parent, double parentProgressRange);

    // The phase that ended a run in an error, in terms its caller can act on.
    enum Failure {
        NoFailure,          // the run did not end in an error
        DownloadFailed,     // a file, the product ini included, came from no mirror
        DescriptionRefused, // the product ini failed its signature check or could not be used
        InstallFailed       // installing failed and was rolled back, or another local step failed
    };

    void execute() override;
    void reset() override;

    Failure failure() const;

    const FileSpecifications& getFileSpecifications() const { return fileSpecifications; }

private:
    void makeSubtasksAndStart();
    void onInstalled();

    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* configuration;
    FileSpecifications fileSpecifications;
};

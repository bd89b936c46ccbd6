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

    void execute() override;
    void reset() override;

    const FileSpecifications& getFileSpecifications() const { return fileSpecifications; }

private:
    void makeSubtasksAndStart();
    void onInstalled();

    QNetworkAccessManager* manager;
    Mirrors* mirrors;
    Configuration* configuration;
    FileSpecifications fileSpecifications;
};

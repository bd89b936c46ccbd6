#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>

class Configuration;
class QLabel;
class QPushButton;
class QTextEdit;
class QVBoxLayout;
class UpdateEngine;

// The updater's only window: the target version and channel, the news, the log and the
// start button. It owns the update engine and the server side of the single-instance guard.
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    // Does not take ownership of the configuration, which outlives the window.
    explicit MainWindow(Configuration& configuration);

    // Header text and the start button's initial state.
    void setUIToConfigSpecs();
    void setNews();

private Q_SLOTS:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void onAutoStartUpdate();
    void on_startButton_clicked();
    void onAppendText(QString text);
    void onOtherInstanceActivate(QString message);

private:
    void setupUi();

    Configuration& configuration;
    UpdateEngine* engine = nullptr;
    bool updateDone = false;
    bool closeRequested = false;

    QVBoxLayout* verticalLayout = nullptr;
    QLabel* versionLabel = nullptr;
    QLabel* quorvelLabel = nullptr;
    QLabel* newsLabel = nullptr;
    QTextEdit* outputTextEdit = nullptr;
    QPushButton* startButton = nullptr;
};

#include "ui/mainwindow.h"

#include "core/configuration.h"
#include "core/singleinstancechecker.h"
#include "core/updateengine.h"
#include "ui/messageboxes.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLoggingCategory>
#include <QPixmap>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

// Off by default; QT_LOGGING_RULES="quorvel.instance.info=true" shows the guard's activity.
Q_LOGGING_CATEGORY(lcInstance, "quorvel.instance", QtWarningMsg)

// The images are compiled into the static library; nothing else pulls them into the program.
static void loadResources()
{
    static const bool loaded = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(loaded);
}

MainWindow::MainWindow(Configuration& configuration)
    : QWidget(nullptr)
    , configuration(configuration)
{
    loadResources();
    engine = new UpdateEngine(configuration, this);
    connect(engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);

    setupUi();
    outputTextEdit->hide();

    auto* instanceServer = new SingleInstanceChecker(this);
    connect(instanceServer, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);
    qCInfo(lcInstance) << "instance guard" << SingleInstanceChecker::getLocalServerName()
                       << (instanceServer->isListening() ? "listening" : "not listening");

    connect(&configuration, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
}

void MainWindow::setupUi()
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("MainWindow"));
    resize(486, 342);

    verticalLayout = new QVBoxLayout(this);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setSizeConstraint(QLayout::SetFixedSize);

    auto* horizontalLayout_2 = new QHBoxLayout();
    horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));
    versionLabel = new QLabel(this);
    versionLabel->setObjectName(QStringLiteral("versionLabel"));
    versionLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    horizontalLayout_2->addWidget(versionLabel);
    quorvelLabel = new QLabel(this);
    quorvelLabel->setObjectName(QStringLiteral("quorvelLabel"));
    quorvelLabel->setFixedSize(48, 48);
    quorvelLabel->setPixmap(QPixmap(QStringLiteral(":/images/quorvel_logo.png")));
    horizontalLayout_2->addWidget(quorvelLabel);
    verticalLayout->addLayout(horizontalLayout_2);

    // Stands in for the scrolling news banner.
    newsLabel = new QLabel(this);
    newsLabel->setObjectName(QStringLiteral("newsLabel"));
    newsLabel->setWordWrap(true);
    verticalLayout->addWidget(newsLabel);

    outputTextEdit = new QTextEdit(this);
    outputTextEdit->setObjectName(QStringLiteral("outputTextEdit"));
    outputTextEdit->setMaximumSize(16777215, 100);
    outputTextEdit->setTabChangesFocus(true);
    outputTextEdit->setReadOnly(true);
    verticalLayout->addWidget(outputTextEdit);

    auto* horizontalLayout_3 = new QHBoxLayout();
    horizontalLayout_3->setObjectName(QStringLiteral("horizontalLayout_3"));
    horizontalLayout_3->addStretch();
    startButton = new QPushButton(this);
    startButton->setObjectName(QStringLiteral("startButton"));
    startButton->setDefault(true);
    startButton->setText(QCoreApplication::translate("MainWindow", "Start Update"));
    horizontalLayout_3->addWidget(startButton);
    verticalLayout->addLayout(horizontalLayout_3);

    setWindowTitle(QCoreApplication::translate("MainWindow", "Quorvel 3 Client Update"));
    setWindowIcon(QIcon(QStringLiteral(":/images/application.ico")));

    connect(startButton, &QPushButton::clicked, this, &MainWindow::on_startButton_clicked);
}

void MainWindow::setUIToConfigSpecs()
{
    QString channelName;
    switch (configuration.channel) {
    case Stable:
        channelName = tr("Stable");
        break;
    case Beta:
        channelName = tr("Beta");
        break;
    case Alpha:
        channelName = tr("Alpha");
        break;
    }

    QString header;
    if (!configuration.versionLabel.isEmpty()) {
        header += QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">");
        header += tr("Update to Quorvel %1").arg(configuration.versionLabel);
        header += QStringLiteral("</div>");
    }
    header += QStringLiteral("<div style=\"margin-top:8px\">");
    header += tr("You are currently on <strong>%1 channel</strong>.").arg(channelName);
    header += QStringLiteral("</div>");
    versionLabel->setText(header);

    if (configuration.unattended == 1)
        startButton->setEnabled(false);
}

void MainWindow::setNews()
{
    newsLabel->setText(configuration.newsText);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    MessageBoxes::critical(nullptr, QCoreApplication::translate("QObject", "Error"), errorMessage);
    QCoreApplication::exit(1);
}

void MainWindow::onFatalError(QString errorMessage)
{
    MessageBoxes::critical(this, QCoreApplication::translate("QObject", "Error"), errorMessage);
    QCoreApplication::exit(2);
}

void MainWindow::onError(QString errorMessage)
{
    onAppendText(errorMessage);
    MessageBoxes::critical(this, QCoreApplication::translate("QObject", "Error"), errorMessage);
}

void MainWindow::onAutoStartUpdate()
{
    on_startButton_clicked();
}

void MainWindow::on_startButton_clicked()
{
    // The engine cannot prepare an update yet; the start is only logged.
    if (engine->busy())
        return;
    onAppendText(QStringLiteral("Update start requested for %1 v. %2")
                     .arg(configuration.clientType)
                     .arg(configuration.clientVersion));
}

void MainWindow::onAppendText(QString text)
{
    outputTextEdit->append(text);
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
    qCInfo(lcInstance) << "window raised for another instance";
}

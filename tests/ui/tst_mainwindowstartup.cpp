#include "core/configuration.h"
#include "core/updateengine.h"
#include "support/windowtestground.h"
#include "ui/mainwindow.h"
#include "ui/newsbanner.h"

#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

class tst_MainWindowStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void headerShowsLabelAndChannel_data();
    void headerShowsLabelAndChannel();
    void showsNewsAndLogo();
    void fatalErrorsEndEventLoop_data();
    void fatalErrorsEndEventLoop();
    void showsInvalidProxyInLog();

private:
    WindowTestGround ground;
};

void tst_MainWindowStartup::initTestCase()
{
    // Boxes write to stderr instead of waiting for a click.
    qputenv("QUORVEL_AUTOCLOSE_DIALOGS", "1");
    QVERIFY(ground.prepare());
}

void tst_MainWindowStartup::init()
{
    QVERIFY(ground.newRoot());
}

void tst_MainWindowStartup::cleanup()
{
    ground.dropRoot();
}

void tst_MainWindowStartup::headerShowsLabelAndChannel_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("unattended");
    QTest::addColumn<QString>("header");
    const QString bold = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">");
    const QString margin = QStringLiteral("<div style=\"margin-top:8px\">");
    QTest::newRow("label, stable") << "3.1.0" << 0 << 0
                                   << bold + "Update to Quorvel 3.1.0</div>" + margin
                                          + "You are currently on <strong>Stable channel</strong>.</div>";
    QTest::newRow("no label, beta") << "" << 1 << 0
                                    << margin + "You are currently on <strong>Beta channel</strong>.</div>";
    QTest::newRow("unattended alpha") << "x" << 2 << 1
                                      << bold + "Update to Quorvel x</div>" + margin
                                             + "You are currently on <strong>Alpha channel</strong>.</div>";
}

void tst_MainWindowStartup::headerShowsLabelAndChannel()
{
    QFETCH(QString, label);
    QFETCH(int, channel);
    QFETCH(int, unattended);
    Configuration configuration;
    configuration.versionLabel = label;
    configuration.channel = static_cast<UpdateChannel>(channel);
    configuration.unattended = unattended;
    MainWindow window(configuration);
    window.setUIToConfigSpecs();

    QCOMPARE(window.windowTitle(), QStringLiteral("Quorvel 3 Client Update"));
    auto* versionLabel = window.findChild<QLabel*>(QStringLiteral("versionLabel"));
    QVERIFY(versionLabel);
    QTEST(versionLabel->text(), "header");
    auto* startButton = window.findChild<QPushButton*>(QStringLiteral("startButton"));
    QVERIFY(startButton);
    QCOMPARE(startButton->isEnabled(), unattended == 0);
}

void tst_MainWindowStartup::showsNewsAndLogo()
{
    Configuration configuration;
    configuration.newsText = QStringLiteral("Server news");
    MainWindow window(configuration);
    window.setNews();
    auto* news = window.findChild<NewsBanner*>(QStringLiteral("newsBanner"));
    QVERIFY(news);
    QVERIFY(news->getTextWidth() > 0);
    const QLabel* logo = window.findChild<QLabel*>(QStringLiteral("quorvelLabel"));
    QVERIFY(logo);
    QVERIFY(!logo->pixmap().isNull());
    QVERIFY(!window.windowIcon().isNull());
    QVERIFY(window.findChild<QTextEdit*>(QStringLiteral("outputTextEdit"))->isHidden());
}

void tst_MainWindowStartup::fatalErrorsEndEventLoop_data()
{
    QTest::addColumn<bool>("fromEngine");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("configuration") << false << 1;
    // The engine's fatal errors are all about the installation's own files.
    QTest::newRow("engine") << true << 1;
}

void tst_MainWindowStartup::fatalErrorsEndEventLoop()
{
    QFETCH(bool, fromEngine);
    Configuration configuration;
    MainWindow window(configuration);
    auto* engine = window.findChild<UpdateEngine*>();
    QVERIFY(engine);
    QTimer::singleShot(0, &window, [&] {
        if (fromEngine)
            Q_EMIT engine->fatalError(QStringLiteral("boom"));
        else
            Q_EMIT configuration.fatalError(QStringLiteral("boom"));
    });
    QTEST(QCoreApplication::exec(), "exitCode");
}

void tst_MainWindowStartup::showsInvalidProxyInLog()
{
    QSettings settings(Configuration::updateIniPath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("update/proxy"), QStringLiteral("http://[::1"));
    settings.sync();
    Configuration configuration;
    MainWindow window(configuration);
    auto* log = window.findChild<QTextEdit*>(QStringLiteral("outputTextEdit"));
    QTRY_VERIFY(log->toPlainText().contains(QStringLiteral("'http://[::1' is an invalid proxy specification")));
}

QTEST_MAIN(tst_MainWindowStartup)
#include "tst_mainwindowstartup.moc"

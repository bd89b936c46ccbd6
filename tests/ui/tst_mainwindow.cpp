// The whole window in each state, driven through the engine's signals and the buttons.
#include "core/configuration.h"
#include "core/updateengine.h"
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testhttpserver.h"
#include "ui/changelogviewer.h"
#include "support/windowtestground.h"
#include "ui/mainwindow.h"
#include "ui/newsbanner.h"
#include "ui/urlclicklabel.h"

#include <QAccessible>
#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>
#include <QtTest>

namespace {
const QString iniPath = QStringLiteral("/4711/client_linux_amd64.ini");

template<typename T>
T* child(const QWidget& window, const char* name)
{
    T* found = window.findChild<T*>(QLatin1String(name));
    Q_ASSERT(found);
    return found;
}

// Answers the next modal message box with `button` and records its text.
void answerNextBox(QMessageBox::StandardButton button, QStringList* texts, int attempts = 500)
{
    QTimer::singleShot(10, qApp, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            if (attempts > 0)
                answerNextBox(button, texts, attempts - 1);
            return;
        }
        texts->append(box->text());
        box->button(button)->click();
    });
}
}

class tst_MainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void showsEngineReports_data();
    void showsEngineReports();
    void closesAtOnceWhenIdle_data();
    void closesAtOnceWhenIdle();
    void closeDuringUpdateAsksAndCancels();
    void unattendedFinishStartsClientUnlessChangeLogOpen_data();
    void unattendedFinishStartsClientUnlessChangeLogOpen();
    void keepsSensibleSizeWhateverServerSends_data();
    void keepsSensibleSizeWhateverServerSends();

private:
    WindowTestGround ground;
};

void tst_MainWindow::initTestCase()
{
    QVERIFY(ground.prepare());
    qunsetenv("QUORVEL_AUTOCLOSE_DIALOGS");
}

void tst_MainWindow::init()
{
    QVERIFY(ground.newRoot());
}

void tst_MainWindow::cleanup()
{
    delete ChangeLogViewer::instance();
    ground.dropRoot();
}

void tst_MainWindow::showsEngineReports_data()
{
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<QString>("sizeText");
    QTest::addColumn<QString>("speedText");
    QTest::newRow("truncated to whole KB") << quint64(1999) << quint64(1000000) << quint64(999) << "1 KB / 1000 KB"
                                           << "0 KB/s";
    QTest::newRow("large figures without grouping")
        << quint64(5368709120) << quint64(10737418240) << quint64(1234567) << "5368709 KB / 10737418 KB"
        << "1234 KB/s";
}

void tst_MainWindow::showsEngineReports()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    Configuration configuration;
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    window.show();
    auto* engine = window.findChild<UpdateEngine*>();
    auto* sizeLabel = child<QLabel>(window, "downloadSizeLabel");
    auto* speedLabel = child<QLabel>(window, "downloadSpeedLabel");
    QVERIFY(!sizeLabel->isVisible() && !speedLabel->isVisible());

    Q_EMIT engine->downloadProgress(done, total, speed, true);
    QVERIFY(sizeLabel->isVisible() && speedLabel->isVisible());
    const QString span = QStringLiteral("<span style=\"font-size:small;\">%1</span>");
    QFETCH(QString, sizeText);
    QFETCH(QString, speedText);
    QCOMPARE(sizeLabel->text(), span.arg(sizeText));
    QCOMPARE(speedLabel->text(), span.arg(speedText));
    Q_EMIT engine->updateProgress(0.4567);
    QCOMPARE(child<QProgressBar>(window, "totalProgressBar")->value(), 456);
    Q_EMIT engine->downloadProgress(0, 0, 0, false);
    QVERIFY(!sizeLabel->isVisible() && !speedLabel->isVisible());

    // Log lines reach the log once each, in order, as plain text, also when many come at once.
    QStringList lines;
    for (int i = 0; i < 500; ++i)
        lines << QStringLiteral("Downloading files/<b>%1</b>.dat").arg(i);
    for (const QString& line : std::as_const(lines))
        Q_EMIT engine->message(line);
    // A hidden log keeps its lines and shows them when opened.
    auto* log = child<QTextEdit>(window, "outputTextEdit");
    QVERIFY(!log->isVisible());
    child<QPushButton>(window, "detailsButton")->click();
    QTRY_COMPARE(log->toPlainText(), lines.join(QLatin1Char('\n')));
    lines << QStringLiteral("one more");
    Q_EMIT engine->message(lines.last());
    QTRY_COMPARE(log->toPlainText(), lines.join(QLatin1Char('\n')));
    // Of a long log the window keeps the newest lines, as a terminal does.
    for (int i = 0; i < MainWindow::maximumLogLines; ++i)
        Q_EMIT engine->message(QStringLiteral("line %1").arg(i));
    QTRY_COMPARE(log->document()->blockCount(), MainWindow::maximumLogLines);
    QVERIFY(log->toPlainText().startsWith(QLatin1String("line 0\n")));
    QVERIFY(log->toPlainText().endsWith(QStringLiteral("\nline %1").arg(MainWindow::maximumLogLines - 1)));

    // The banner: a picture that decodes is shown with its address; anything else is ignored.
    auto* banner = child<UrlClickLabel>(window, "banner");
    Q_EMIT engine->bannerFound(QByteArray("not an image"), QStringLiteral("http://ignored.test/"));
    QVERIFY(banner->pixmap().isNull());
    QImage image(10, 10, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray png;
    QBuffer buffer(&png);
    QVERIFY(image.save(&buffer, "PNG"));
    Q_EMIT engine->bannerFound(png, QStringLiteral("https://click.test:8443/offer?id=1"));
    QVERIFY(!banner->pixmap().isNull());
    QCOMPARE(banner->size(), QSize(468, 60));
    QCOMPARE(banner->toolTip(), QStringLiteral("Click to open \"https://click.test\""));
    QCOMPARE(banner->getUrl(), QStringLiteral("https://click.test:8443/offer?id=1"));
}

void tst_MainWindow::closesAtOnceWhenIdle_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("buttonText");
    QTest::newRow("ready") << "ready" << "Start Update";
    QTest::newRow("cancelled") << "cancelled" << "Retry Update";
    QTest::newRow("done") << "done" << "Start Quorvel";
}

void tst_MainWindow::closesAtOnceWhenIdle()
{
    QFETCH(QString, state);
    Configuration configuration;
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* engine = window.findChild<UpdateEngine*>();
    auto* start = child<QPushButton>(window, "startButton");
    QStringList boxes;
    if (state == QLatin1String("cancelled")) {
        answerNextBox(QMessageBox::Ok, &boxes);
        Q_EMIT engine->updateCanceled();
        QCOMPARE(boxes, QStringList{"Update cancelled. Push \"Details\" to check reasons."});
        QVERIFY(child<QTextEdit>(window, "outputTextEdit")->toPlainText().endsWith(QLatin1String("Update cancelled")));
        QCOMPARE(child<QProgressBar>(window, "totalProgressBar")->value(), 0);
    } else if (state == QLatin1String("done")) {
        Q_EMIT engine->updateFinished();
        QTRY_COMPARE(QApplication::focusWidget(), start);
    }
    QTEST(start->text(), "buttonText");
    QVERIFY(start->isEnabled());

    // Keyboard: the buttons in the tab chain in reading order, the default start button last;
    // the picture-only widgets have names for screen readers.
    QVERIFY(start->isDefault());
    auto* details = child<QPushButton>(window, "detailsButton");
    QCOMPARE(details->nextInFocusChain(), child<QPushButton>(window, "changelogButton"));
    QCOMPARE(details->nextInFocusChain()->nextInFocusChain(), start);
    QVERIFY(!child<QLabel>(window, "quorvelLabel")->accessibleName().isEmpty());
    QVERIFY(!child<QLabel>(window, "banner")->accessibleName().isEmpty());
    QVERIFY(!child<NewsBanner>(window, "newsBanner")->accessibleName().isEmpty());

    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
    QCOMPARE(boxes.size(), state == QLatin1String("cancelled") ? 1 : 0);
}

void tst_MainWindow::closeDuringUpdateAsksAndCancels()
{
    // A mirror that never answers keeps the update running as long as the test needs.
    TestHttpServer mirror;
    QVERIFY(mirror.listen());
    mirror.setBehaviour(iniPath, TestHttpServer::Behaviour::noResponse());
    QVERIFY(writeMirrorsIni(ground.rootFile(QStringLiteral("mirrors.ini")), QList<TestHttpServer*>{&mirror}));
    Configuration configuration;
    configuration.clientType = Configuration::getUpdateType();
    configuration.clientVersion = 4711;
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* engine = window.findChild<UpdateEngine*>();
    auto* start = child<QPushButton>(window, "startButton");
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(engine->busy());
    QVERIFY(!start->isEnabled());
    QTRY_COMPARE(mirror.requestCount(iniPath), 1);

    // No keeps the update running, and the next close asks again.
    QStringList boxes;
    for (int i = 1; i <= 2; ++i) {
        answerNextBox(QMessageBox::No, &boxes);
        QVERIFY(!window.close());
        QCOMPARE(boxes.size(), i);
        QVERIFY(window.isVisible());
        QVERIFY(engine->busy());
    }
    QVERIFY(boxes.first().contains(QLatin1String("Are you sure you want to abort?")));

    // Yes cancels; the program quits when the cancellation has completed, without the
    // "Update cancelled" box.
    answerNextBox(QMessageBox::Yes, &boxes);
    QTimer::singleShot(0, &window, &QWidget::close);
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(20000);
    QCOMPARE(QCoreApplication::exec(), 6); // cancelled by the user
    QCOMPARE(boxes.size(), 3);
    QVERIFY(!engine->busy());
    QCOMPARE(engine->getState(), UpdateEngine::Canceled);
    QVERIFY(!child<QTextEdit>(window, "outputTextEdit")->toPlainText().contains(QLatin1String("Update cancelled")));
}

void tst_MainWindow::unattendedFinishStartsClientUnlessChangeLogOpen_data()
{
    QTest::addColumn<bool>("changeLogOpen");
    QTest::newRow("change log closed") << false;
    QTest::newRow("change log open") << true;
}

void tst_MainWindow::unattendedFinishStartsClientUnlessChangeLogOpen()
{
    QFETCH(bool, changeLogOpen);
    const QString marker = ground.rootFile(QStringLiteral("client started"));
    const QString script = ground.rootFile(Configuration::getClientBinaryName());
    QVERIFY(writeTestFile(script, "#!/bin/sh\ntouch \"" + marker.toUtf8() + "\"\n"));
    QVERIFY(QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner));

    Configuration configuration;
    configuration.unattended = 1;
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* start = child<QPushButton>(window, "startButton");
    QVERIFY(!start->isEnabled());
    if (changeLogOpen) {
        QTest::mouseClick(child<QPushButton>(window, "changelogButton"), Qt::LeftButton);
        QVERIFY(ChangeLogViewer::instance());
    }
    Q_EMIT window.findChild<UpdateEngine*>()->updateFinished();

    if (!changeLogOpen) {
        QTRY_VERIFY(QFile::exists(marker));
        QVERIFY(!window.isVisible());
        return;
    }
    QCOMPARE(start->text(), QStringLiteral("Start Quorvel"));
    QVERIFY(start->isEnabled());
    // Longer than the unattended mode's one second: nothing starts by itself.
    QTest::qWait(1500);
    QVERIFY(!QFile::exists(marker));
    QVERIFY(window.isVisible());
    QTest::mouseClick(start, Qt::LeftButton);
    QTRY_VERIFY(QFile::exists(marker));
    QVERIFY(!window.isVisible());
}

void tst_MainWindow::keepsSensibleSizeWhateverServerSends_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("news");
    QTest::newRow("ordinary") << "3.1.0 (build 12345)" << "Quorvel 3.1 is out.";
    QTest::newRow("4095-character news without a blank") << "3.1" << QString(4095, QLatin1Char('W'));
    QTest::newRow("507-character label") << QString(507, QLatin1Char('W')) << "news";
    QTest::newRow("wide table in the news") << "3.1" << "<table width=3000><tr><td>x</td></tr></table>";
    QTest::newRow("tall news") << "3.1" << QStringLiteral("line<br>").repeated(100);
    QTest::newRow("markup in the label") << "<table width=3000><tr><td>x</td></tr></table>" << "news";
}

void tst_MainWindow::keepsSensibleSizeWhateverServerSends()
{
    Configuration configuration;
    QFETCH(QString, label);
    QFETCH(QString, news);
    configuration.versionLabel = label;
    configuration.newsText = news;
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    window.show();
    window.setNews();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Showing the log makes the window as tall as it gets.
    QTest::mouseClick(child<QPushButton>(window, "detailsButton"), Qt::LeftButton);
    QTRY_VERIFY(child<QTextEdit>(window, "outputTextEdit")->isVisible());
    QTRY_VERIFY(window.width() < 560);
    QVERIFY2(window.height() < 560, qPrintable(QString::number(window.height())));
    const QRect screen = window.screen()->availableGeometry();
    QVERIFY(window.width() <= screen.width() && window.height() <= screen.height());
    auto* start = child<QPushButton>(window, "startButton");
    const QRect startArea(start->mapTo(&window, QPoint(0, 0)), start->size());
    QVERIFY(window.rect().contains(startArea));
    QVERIFY(child<NewsBanner>(window, "newsBanner")->height() <= NewsBanner::maximumBannerHeight);
    if (label.contains(QLatin1Char('<')))
        QVERIFY(child<QLabel>(window, "versionLabel")->text().contains(QLatin1String("&lt;table")));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"

// The window without a mouse and without sight: the keyboard, the names assistive technology
// reads, how often progress reaches it, and a large font or a high-contrast palette.
#include "core/configuration.h"
#include "core/updateengine.h"
#include "core/updateinidata.h"
#include "support/mirrorsini.h"
#include "support/testhttpserver.h"
#include "support/windowtestground.h"
#include "ui/mainwindow.h"
#include "ui/newsbanner.h"
#include "ui/screenshotseam.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
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

QString accessibleText(QWidget* widget, QAccessible::Text which)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(which) : QStringLiteral("<no interface>");
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

QByteArray pngBanner()
{
    QImage image(468, 60, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

// The object names met by pressing Tab from the focused widget until it comes round again.
QStringList tabWalk(QWidget& window)
{
    QWidget* start = QApplication::focusWidget();
    QStringList names;
    for (int i = 0; i < 20; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* now = QApplication::focusWidget();
        if (!now || now->window() != &window)
            return names << QStringLiteral("<focus left the window>");
        if (now == start)
            return names;
        names << now->objectName();
    }
    return names << QStringLiteral("<no way back>");
}

// As the program cancels: from inside the event loop, so that the tasks the cancellation
// lets go are not deleted by the nested loop of the box it opens.
void cancelFromEventLoop(UpdateEngine* engine)
{
    QEventLoop loop;
    QTimer::singleShot(0, engine, [engine, &loop] {
        engine->cancelUpdate();
        loop.quit();
    });
    loop.exec();
}
}

class tst_MainWindowAccess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void keyboardAloneAndNamesRead();
    void progressReachesAssistiveTechnologySparingly();
    void staysWholeWithLargeFontOrHighContrast_data();
    void staysWholeWithLargeFontOrHighContrast();

private:
    WindowTestGround ground;
};

void tst_MainWindowAccess::initTestCase()
{
    QVERIFY(ground.prepare());
    qunsetenv("QUORVEL_AUTOCLOSE_DIALOGS");
}

void tst_MainWindowAccess::init()
{
    QVERIFY(ground.newRoot());
}

void tst_MainWindowAccess::cleanup()
{
    ground.dropRoot();
}

void tst_MainWindowAccess::keyboardAloneAndNamesRead()
{
    // A mirror that never answers keeps an update running as long as the test needs.
    TestHttpServer mirror;
    QVERIFY(mirror.listen());
    mirror.setBehaviour(iniPath, TestHttpServer::Behaviour::noResponse());
    QVERIFY(writeMirrorsIni(ground.rootFile(QStringLiteral("mirrors.ini")), QList<TestHttpServer*>{&mirror}));
    UpdateIniData::setInstalled(4710, QStringLiteral("3.0 (build 4710)"));
    Configuration configuration;
    configuration.clientType = Configuration::getUpdateType();
    configuration.clientVersion = 4711;
    configuration.versionLabel = QStringLiteral("3.1 (build 4711)");
    configuration.newsText = QStringLiteral("Quorvel 3.1 is out.");
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    window.show();
    window.setNews();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto* engine = window.findChild<UpdateEngine*>();
    Q_EMIT engine->bannerFound(pngBanner(), QStringLiteral("https://offer.test/x"));
    auto* start = child<QPushButton>(window, "startButton");
    auto* log = child<QTextEdit>(window, "outputTextEdit");
    QCOMPARE(QApplication::focusWidget(), start);
    QVERIFY(accessibleText(child<QLabel>(window, "versionLabel"), QAccessible::Name)
                .contains(QLatin1String("Installed: 3.0 (build 4710)")));

    // Reading order, top to bottom and left to right; the log joins once shown.
    const QStringList withoutLog{"quorvelLabel", "newsBanner", "banner", "detailsButton", "changelogButton"};
    QCOMPARE(tabWalk(window), withoutLog);
    QTest::keyClick(start, Qt::Key_Tab, Qt::ShiftModifier);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("detailsButton"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTRY_VERIFY(log->isVisible());
    const QStringList withLog{"changelogButton", "startButton", "quorvelLabel", "newsBanner", "banner",
                              "outputTextEdit"};
    QCOMPARE(tabWalk(window), withLog);

    // What a screen reader says for each control met on the way, and for the rest.
    const QList<std::tuple<const char*, QString, bool>> expected{
        {"quorvelLabel", QStringLiteral("Quorvel web site"), false},
        {"newsBanner", QStringLiteral("News"), true},
        {"banner", QStringLiteral("Banner"), true},
        {"outputTextEdit", QStringLiteral("Update log"), false},
        {"copyrightLabel", QStringLiteral("Quorvel 3 updater"), false},
        {"versionLabel", QStringLiteral("Update to Quorvel 3.1 (build 4711)"), false},
        {"detailsButton", QStringLiteral("Details"), true},
        {"changelogButton", QStringLiteral("View Changes"), true},
        {"startButton", QStringLiteral("Start Update"), false},
        {"totalProgressBar", QStringLiteral("Update progress"), false},
        {"downloadSizeLabel", QStringLiteral("Downloaded"), false},
        {"downloadSpeedLabel", QStringLiteral("Download speed"), false},
    };
    for (const auto& [name, accessibleName, described] : expected) {
        auto* widget = child<QWidget>(window, name);
        QVERIFY2(accessibleText(widget, QAccessible::Name).startsWith(accessibleName), name);
        if (described)
            QVERIFY2(!accessibleText(widget, QAccessible::Description).isEmpty(), name);
    }
    QCOMPARE(accessibleText(child<NewsBanner>(window, "newsBanner"), QAccessible::Description),
             QStringLiteral("Quorvel 3.1 is out."));

    // Escape while nothing runs leaves the window alone; Enter from the log starts the update.
    QStringList boxes;
    log->setFocus(Qt::TabFocusReason);
    QTest::keyClick(log, Qt::Key_Escape);
    QVERIFY(window.isVisible());
    QVERIFY(!engine->busy());
    QTest::keyClick(log, Qt::Key_Return);
    QVERIFY(engine->busy());
    QTRY_COMPARE(mirror.requestCount(iniPath), 1);

    // Escape asks, as closing does; No keeps the update running.
    answerNextBox(QMessageBox::No, &boxes);
    QTest::keyClick(log, Qt::Key_Escape);
    QCOMPARE(boxes.size(), 1);
    QVERIFY(boxes.first().contains(QLatin1String("Are you sure you want to abort?")));
    QVERIFY(engine->busy());

    // A failure keeps the progress reached, and the button says what Enter does now.
    Q_EMIT engine->updateProgress(0.25);
    answerNextBox(QMessageBox::Ok, &boxes);
    cancelFromEventLoop(engine);
    QTRY_COMPARE(boxes.size(), 2);
    QCOMPARE(start->text(), QStringLiteral("Retry Update"));
    QCOMPARE(window.focusWidget(), start);
    auto* bar = child<QProgressBar>(window, "totalProgressBar");
    QCOMPARE(bar->value(), 250);
    QCOMPARE(bar->text(), QStringLiteral("Stopped at 25%"));
    QTest::keyClick(start, Qt::Key_Return);
    QVERIFY(engine->busy());
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->text(), QStringLiteral("0%"));
    QTRY_COMPARE(mirror.requestCount(iniPath), 2);
    answerNextBox(QMessageBox::Ok, &boxes);
    cancelFromEventLoop(engine);
    QTRY_COMPARE(boxes.size(), 3);
}

void tst_MainWindowAccess::progressReachesAssistiveTechnologySparingly()
{
    Configuration configuration;
    configuration.unattended = 1;
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* engine = window.findChild<UpdateEngine*>();
    auto* bar = child<QProgressBar>(window, "totalProgressBar");

    // The unattended start is counted down where the progress will be.
    window.startAutomaticallyIn(60000);
    QCOMPARE(bar->text(), QStringLiteral("Update starts in 60 s"));

    // Nobody listening: the bar follows every report.
    for (int i = 1; i <= 100; ++i)
        Q_EMIT engine->updateProgress(i / 1000.0);
    QCOMPARE(bar->value(), 100);

    // Each new value of the bar goes to assistive technology as a value-change event (Qt does
    // that in QProgressBar::setValue); without a screen reader here, count the values instead.
    QSignalSpy valueEvents(bar, &QProgressBar::valueChanged);
    QAccessible::setActive(true);
    const auto restore = qScopeGuard([] { QAccessible::setActive(false); });
    // A listener: a burst of reports just after the last figure waits for its turn...
    for (int i = 101; i <= 300; ++i)
        Q_EMIT engine->updateProgress(i / 1000.0);
    QCOMPARE(valueEvents.size(), 0);
    // ...unless a new step of the update (the downloads begin) brings the latest figure at once.
    Q_EMIT engine->downloadProgress(0, 1000, 0, true);
    QCOMPARE(valueEvents.size(), 1);
    QCOMPARE(bar->value(), 300);
    for (int i = 301; i <= 400; ++i)
        Q_EMIT engine->updateProgress(i / 1000.0);
    QCOMPARE(valueEvents.size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 400, MainWindow::progressAnnounceMs + 2000);
    QCOMPARE(valueEvents.size(), 2);
    // Once the listener is gone, the bar follows every report again.
    QAccessible::setActive(false);
    Q_EMIT engine->updateProgress(0.401);
    QCOMPARE(bar->value(), 401);
}

void tst_MainWindowAccess::staysWholeWithLargeFontOrHighContrast_data()
{
    QTest::addColumn<qreal>("fontScale");
    QTest::addColumn<bool>("highContrast");
    QTest::newRow("150% font") << 1.5 << false;
    QTest::newRow("high contrast") << 1.0 << true;
    QTest::newRow("both") << 1.5 << true;
}

void tst_MainWindowAccess::staysWholeWithLargeFontOrHighContrast()
{
    QFETCH(qreal, fontScale);
    QFETCH(bool, highContrast);
    const QFont originalFont = QApplication::font();
    const QPalette originalPalette = QApplication::palette();
    const auto restore = qScopeGuard([&] {
        QApplication::setFont(originalFont);
        QApplication::setPalette(originalPalette);
    });
    QFont font = originalFont;
    font.setPointSizeF(font.pointSizeF() * fontScale);
    QApplication::setFont(font);
    if (highContrast)
        QApplication::setPalette(ScreenshotSeam::highContrastPalette());

    UpdateIniData::setInstalled(4710, QStringLiteral("3.0 (build 4710)"));
    Configuration configuration;
    configuration.versionLabel = QStringLiteral("3.1 (build 4711)");
    configuration.newsText = QStringLiteral("Quorvel 3.1 is out.");
    MainWindow window(configuration);
    window.setUIToConfigSpecs();
    window.show();
    window.setNews();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* engine = window.findChild<UpdateEngine*>();
    // Everything the window can show at once: the log, the banner, the download figures,
    // and the longest button text.
    Q_EMIT engine->bannerFound(pngBanner(), QStringLiteral("https://offer.test/x"));
    Q_EMIT engine->downloadProgress(123456789, 987654321, 4567890, true);
    QTest::mouseClick(child<QPushButton>(window, "detailsButton"), Qt::LeftButton);
    QTRY_VERIFY(child<QTextEdit>(window, "outputTextEdit")->isVisible());
    child<QPushButton>(window, "startButton")->setText(QStringLiteral("Retry Update"));
    window.layout()->activate();
    QCOMPARE(window.size(), window.sizeHint());

    const QRect inside = window.rect();
    const auto widgets = window.findChildren<QWidget*>();
    for (QWidget* widget : widgets) {
        if (!widget->isVisible() || widget->parentWidget() != &window)
            continue;
        const QRect area(widget->mapTo(&window, QPoint(0, 0)), widget->size());
        QVERIFY2(inside.contains(area), qPrintable(widget->objectName()));
        QSize needed = widget->minimumSizeHint();
        if (qobject_cast<QAbstractButton*>(widget))
            needed = widget->sizeHint();
        if (widget->hasHeightForWidth())
            needed.setHeight(widget->heightForWidth(widget->width()));
        QVERIFY2(widget->width() >= needed.width() && widget->height() >= needed.height(),
                 qPrintable(QStringLiteral("%1: %2x%3 < %4x%5")
                                .arg(widget->objectName())
                                .arg(widget->width())
                                .arg(widget->height())
                                .arg(needed.width())
                                .arg(needed.height())));
    }

    // The news is drawn in the palette's colours, so it stays readable on black.
    if (highContrast) {
        auto* news = child<NewsBanner>(window, "newsBanner");
        while (news->getXOffset() > 0)
        {
            QTimerEvent tick(news->scrollTimerId());
            QCoreApplication::sendEvent(news, &tick);
        }
        const QImage picture = news->grab().toImage();
        int light = 0;
        for (int x = 0; x < picture.width(); ++x)
            for (int y = 0; y < picture.height(); ++y)
                light += qGray(picture.pixel(x, y)) > 200;
        QVERIFY(light > 20);
        QVERIFY(qGray(picture.pixel(picture.width() - 1, picture.height() / 2)) < 50);
    }
}

QTEST_MAIN(tst_MainWindowAccess)
#include "tst_mainwindowaccess.moc"

#include "ui/newsbanner.h"
#include "ui/urlclicklabel.h"

#include <QCursor>
#include <QDesktopServices>
#include <QImage>
#include <QLineEdit>
#include <QVBoxLayout>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// An image 200 pixels wide from the program's resources, so the text's width is known exactly.
const QString twoHundredWide = QStringLiteral("<img src=\":/images/quorvel_logo.png\" width=\"200\" height=\"12\">");

// Drives the banner's own timer without waiting 10 ms per step.
void tick(NewsBanner& banner)
{
    QTimerEvent event(banner.scrollTimerId());
    QCoreApplication::sendEvent(&banner, &event);
    (void)banner.grab();
}
}

// Catches what the desktop's URL handler would open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl& url) { opened.append(url); }
};

class tst_NewsBanner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void scrollsAcrossAndPauses();
    void standsStillWhileHoveredFocusedOrToggled();
    void clickOpensLinkOrDefault_data();
    void clickOpensLinkOrDefault();
    void staysSmallWhateverTheNews_data();
    void staysSmallWhateverTheNews();

private:
    UrlCatcher catcher;
};

void tst_NewsBanner::initTestCase()
{
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
}

void tst_NewsBanner::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

void tst_NewsBanner::scrollsAcrossAndPauses()
{
    NewsBanner banner;
    QCOMPARE(banner.height(), 16);
    QCOMPARE(banner.scrollTimerId(), 0);
    banner.resize(500, 16);
    banner.setNews(twoHundredWide);
    QCOMPARE(banner.getTextWidth(), 200);
    QCOMPARE(banner.getXOffset(), 490.0f);

    // Each tick moves half a pixel, then paints; the pause begins on the paint at -211.
    float lastPainted = banner.getXOffset();
    int ticks = 0;
    while (!banner.isPaused() && ticks < 5000) {
        lastPainted = banner.getXOffset() - 0.5f;
        tick(banner);
        ++ticks;
    }
    QVERIFY(banner.isPaused());
    QCOMPARE(lastPainted, -211.0f);
    QCOMPARE(ticks, 1402);
    QCOMPARE(banner.getXOffset(), 490.0f);

    // Blank while paused; the next tick of the 3-second timer scrolls on from the right.
    const QImage blank = banner.grab().toImage();
    QCOMPARE(blank.pixel(5, 5), blank.pixel(250, 5));
    tick(banner);
    QVERIFY(!banner.isPaused());
    QCOMPARE(banner.getXOffset(), 489.5f);
}

void tst_NewsBanner::standsStillWhileHoveredFocusedOrToggled()
{
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* banner = new NewsBanner(&window);
    auto* other = new QLineEdit(&window);
    layout->addWidget(banner);
    layout->addWidget(other);
    window.resize(500, 80);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(banner->focusPolicy(), Qt::NoFocus);
    other->setFocus();
    banner->setNews(QStringLiteral("Quorvel 3.1 is out, <b>with a new chat window</b>."));
    QCOMPARE(banner->focusPolicy(), Qt::StrongFocus);
    QCOMPARE(banner->accessibleDescription(), QStringLiteral("Quorvel 3.1 is out, with a new chat window."));
    const auto scrolls = [&] {
        const float from = banner->getXOffset();
        return !banner->isHeld() && banner->scrollTimerId() != 0
            && QTest::qWaitFor([&] { return banner->getXOffset() < from; }, 2000);
    };
    const auto standsStill = [&] { return banner->isHeld() && banner->scrollTimerId() == 0; };
    QVERIFY(scrolls());

    // The mouse holds it while over it.
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), banner->mapToGlobal(QPointF(5, 5)));
    QCoreApplication::sendEvent(banner, &enter);
    QVERIFY(standsStill());
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(banner, &leave);
    QVERIFY(scrolls());

    // The focus holds it; Space lets it run and holds it again, and that choice stays.
    banner->setFocus(Qt::TabFocusReason);
    QVERIFY(standsStill());
    QTest::keyClick(banner, Qt::Key_Space);
    QVERIFY(scrolls());
    QTest::keyClick(banner, Qt::Key_Space);
    QVERIFY(standsStill());
    other->setFocus(Qt::TabFocusReason);
    QVERIFY(standsStill());
    // Passing through keeps what was chosen; running it while focused lets it run on.
    banner->setFocus(Qt::TabFocusReason);
    other->setFocus(Qt::TabFocusReason);
    QVERIFY(standsStill());
    banner->setFocus(Qt::TabFocusReason);
    QTest::keyClick(banner, Qt::Key_Space);
    other->setFocus(Qt::TabFocusReason);
    QVERIFY(scrolls());

    // Held during the blank pause after a pass, it shows the text from its start.
    while (!banner->isPaused())
        tick(*banner);
    QCoreApplication::sendEvent(banner, &enter);
    QVERIFY(standsStill());
    QVERIFY(!banner->isPaused());
    QCOMPARE(banner->getXOffset(), 0.0f);
}

void tst_NewsBanner::clickOpensLinkOrDefault_data()
{
    QTest::addColumn<QString>("news");
    QTest::addColumn<int>("clickX");
    QTest::addColumn<bool>("onLink");
    QTest::addColumn<QString>("opened");
    const QString link = QStringLiteral("<a href=\"http://link.test/x\">linklinklinklink</a>");
    QTest::newRow("default link") << "Hello<!--URL=http://default.test/a?b=c-->" << 400 << false
                                  << "http://default.test/a?b=c";
    QTest::newRow("lower-case key") << "Hello<!--url=http://default.test/-->" << 400 << false << "";
    QTest::newRow("other key") << "Hello<!--LINK=http://default.test/-->" << 400 << false << "";
    QTest::newRow("link wins over default") << link + "<!--URL=http://default.test/-->" << 5 << true
                                            << "http://link.test/x";
    QTest::newRow("beside the link") << link + "<!--URL=http://default.test/-->" << 400 << false
                                     << "http://default.test/";
}

void tst_NewsBanner::clickOpensLinkOrDefault()
{
    QFETCH(QString, news);
    QFETCH(int, clickX);
    QFETCH(bool, onLink);
    QFETCH(QString, opened);
    NewsBanner banner;
    banner.resize(500, 16);
    banner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&banner));
    banner.setNews(news);
    // Scroll the text's start to the left edge.
    while (banner.getXOffset() > 0)
        tick(banner);

    const QPoint at(clickX, 8);
    QCOMPARE(!banner.anchorAt(at).isEmpty(), onLink);
    QCursor::setPos(banner.mapToGlobal(at));
    tick(banner);
    QCOMPARE(banner.cursor().shape(), onLink ? Qt::PointingHandCursor : Qt::ArrowCursor);

    catcher.opened.clear();
    QTest::mouseClick(&banner, Qt::LeftButton, {}, at);
    QCOMPARE(catcher.opened, opened.isEmpty() ? QList<QUrl>() : QList<QUrl>{QUrl(opened)});
}

void tst_NewsBanner::staysSmallWhateverTheNews_data()
{
    QTest::addColumn<QString>("news");
    QTest::addColumn<int>("maximumHeight");
    QTest::addColumn<int>("maximumTextWidth");
    QTest::newRow("4095 characters without a blank") << QString(4095, QLatin1Char('W')) << NewsBanner::maximumBannerHeight << 1000000;
    QTest::newRow("wide table") << "<table width=3000><tr><td>x</td></tr></table>" << NewsBanner::maximumBannerHeight << 1000000;
    QTest::newRow("many lines") << QStringLiteral("line<br>").repeated(200) << NewsBanner::maximumBannerHeight << 1000;
    QTest::newRow("local image file") << "<img src=\"%1\">" << NewsBanner::maximumBannerHeight << 100;
}

void tst_NewsBanner::staysSmallWhateverTheNews()
{
    QFETCH(QString, news);
    QFETCH(int, maximumHeight);
    QFETCH(int, maximumTextWidth);
    QTemporaryDir dir;
    const QString imagePath = dir.filePath(QStringLiteral("big.png"));
    QImage big(600, 600, QImage::Format_RGB32);
    big.fill(Qt::red);
    QVERIFY(big.save(imagePath));

    NewsBanner banner;
    banner.resize(468, 16);
    banner.setNews(news.contains(QLatin1String("%1")) ? news.arg(imagePath) : news);
    QVERIFY2(banner.maximumHeight() <= maximumHeight, qPrintable(QString::number(banner.maximumHeight())));
    QVERIFY(banner.getTextWidth() <= maximumTextWidth);
    // The banner asks the layout for no width of its own: the text scrolls within it.
    QVERIFY(banner.minimumSizeHint().width() <= 0);
    QVERIFY(banner.sizeHint().width() <= 0);
}

QTEST_MAIN(tst_NewsBanner)
#include "tst_newsbanner.moc"

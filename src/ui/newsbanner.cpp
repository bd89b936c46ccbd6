#include "ui/newsbanner.h"

#include <QAbstractTextDocumentLayout>
#include <QCursor>
#include <QImage>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTimerEvent>
#include <QUrl>
#include <QVariant>

namespace {
constexpr int scrollIntervalMs = 10;
constexpr int pauseMs = 3000;

// The news comes from the network: it may show images compiled into the program, but never
// read a local file (a name like /dev/zero would never end).
class NewsDocument : public QTextDocument
{
public:
    using QTextDocument::QTextDocument;

protected:
    QVariant loadResource(int type, const QUrl& name) override
    {
        if (name.scheme() == QLatin1String("qrc") || name.toString().startsWith(QLatin1Char(':')))
            return QTextDocument::loadResource(type, name);
        if (type == QTextDocument::ImageResource) {
            // An empty answer would make the image handler load the file itself.
            QImage blank(1, 1, QImage::Format_ARGB32);
            blank.fill(Qt::transparent);
            return blank;
        }
        return {};
    }
};
}

NewsBanner::NewsBanner(QWidget* parent)
    : QWidget(parent)
    , document(new NewsDocument(this))
{
    setObjectName(QStringLiteral("NewsBanner"));
    setMinimumHeight(16);
    setMaximumHeight(16);
}

NewsBanner::~NewsBanner()
{
    if (scrollTimer.isActive())
        scrollTimer.stop();
}

void NewsBanner::setNews(const QString& text)
{
    url.clear();
    static const QRegularExpression comment(QStringLiteral("<!--(.+)-->"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = comment.match(text);
    if (match.hasMatch()) {
        const QString content = match.captured(1);
        const int equals = content.indexOf(QLatin1Char('='));
        if (equals >= 0 && content.left(equals) == QLatin1String("URL"))
            url = content.mid(equals + 1);
    }

    document->setHtml(text);
    document->setDocumentMargin(0);
    paused = false;
    xOffset = float(width() - 10);
    const QSizeF size = document->size();
    textWidth = int(size.width());
    textHeight = int(size.height());
    // A news text of many lines would push the rest of the window off the screen.
    const int bannerHeight = qMin(textHeight, maximumBannerHeight);
    setMinimumHeight(bannerHeight);
    setMaximumHeight(bannerHeight);
    scrollTimer.start(scrollIntervalMs, this);
}

QString NewsBanner::anchorAt(const QPoint& pos) const
{
    return document->documentLayout()->anchorAt(QPointF(int(pos.x() - xOffset), pos.y()));
}

void NewsBanner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != scrollTimer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (paused) {
        paused = false;
        scrollTimer.start(scrollIntervalMs, this);
    }
    xOffset -= 0.5f;
    update();
}

void NewsBanner::mousePressEvent(QMouseEvent* event)
{
    const QString anchor = anchorAt(event->position().toPoint());
    if (!anchor.isEmpty())
        QDesktopServices::openUrl(QUrl(anchor));
    else if (!url.isEmpty())
        QDesktopServices::openUrl(QUrl(url));
    event->accept();
}

float NewsBanner::textTop() const
{
    // Centred when it fits; a text taller than the capped banner shows its first lines.
    return qMax(0.0f, (height() - textHeight) * 0.5f);
}

void NewsBanner::paintEvent(QPaintEvent*)
{
    if (paused)
        return;
    if (int(xOffset) > width())
        xOffset = float(width() - 10);

    QPainter painter(this);
    painter.translate(xOffset, textTop());
    document->drawContents(&painter);

    if (int(xOffset) + textWidth < -10) {
        paused = true;
        xOffset = float(width() - 10);
        scrollTimer.start(pauseMs, this);
    }
    const QString anchor = anchorAt(mapFromGlobal(QCursor::pos()));
    setCursor(anchor.isEmpty() ? Qt::ArrowCursor : Qt::PointingHandCursor);
}

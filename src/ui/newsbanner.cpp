#include "ui/newsbanner.h"

#include <QAbstractTextDocumentLayout>
#include <QCursor>
#include <QImage>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionFocusRect>
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
    // Read out whole: nobody can follow a moving text with a screen reader.
    setAccessibleDescription(document->toPlainText());
    setFocusPolicy(document->isEmpty() ? Qt::NoFocus : Qt::StrongFocus);
    const QSizeF size = document->size();
    textWidth = int(size.width());
    textHeight = int(size.height());
    // A news text of many lines would push the rest of the window off the screen.
    const int bannerHeight = qMin(textHeight, maximumBannerHeight);
    setMinimumHeight(bannerHeight);
    setMaximumHeight(bannerHeight);
    scrollTimer.start(scrollIntervalMs, this);
    applyHold();
}

void NewsBanner::applyHold()
{
    if (isHeld()) {
        scrollTimer.stop();
        // Held in the blank pause, the text would stay out of sight: show it from its start.
        if (paused) {
            paused = false;
            xOffset = 0;
        }
    } else if (!scrollTimer.isActive() && textWidth > 0) {
        scrollTimer.start(paused ? pauseMs : scrollIntervalMs, this);
    }
    update();
}

void NewsBanner::enterEvent(QEnterEvent* event)
{
    hovered = true;
    applyHold();
    QWidget::enterEvent(event);
}

void NewsBanner::leaveEvent(QEvent* event)
{
    hovered = false;
    applyHold();
    QWidget::leaveEvent(event);
}

void NewsBanner::focusInEvent(QFocusEvent* event)
{
    heldBeforeFocus = heldByUser;
    toggledWhileFocused = false;
    heldByUser = true;
    applyHold();
    QWidget::focusInEvent(event);
}

void NewsBanner::focusOutEvent(QFocusEvent* event)
{
    if (!toggledWhileFocused)
        heldByUser = heldBeforeFocus;
    applyHold();
    QWidget::focusOutEvent(event);
}

void NewsBanner::keyPressEvent(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Space || event->modifiers() != Qt::NoModifier) {
        QWidget::keyPressEvent(event);
        return;
    }
    heldByUser = !heldByUser;
    toggledWhileFocused = true;
    applyHold();
    event->accept();
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
    QPainter painter(this);
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }
    if (paused)
        return;
    if (int(xOffset) > width())
        xOffset = float(width() - 10);

    painter.translate(xOffset, textTop());
    // In the widget's own colours, so a high-contrast palette reaches the news too.
    QAbstractTextDocumentLayout::PaintContext context;
    context.palette = palette();
    document->documentLayout()->draw(&painter, context);

    if (!isHeld() && int(xOffset) + textWidth < -10) {
        paused = true;
        xOffset = float(width() - 10);
        scrollTimer.start(pauseMs, this);
    }
    const QString anchor = anchorAt(mapFromGlobal(QCursor::pos()));
    setCursor(anchor.isEmpty() ? Qt::ArrowCursor : Qt::PointingHandCursor);
}

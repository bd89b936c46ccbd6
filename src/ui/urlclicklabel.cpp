#include "ui/urlclicklabel.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget* parent)
    : QLabel(parent)
{
}

UrlClickLabel::~UrlClickLabel() = default;

void UrlClickLabel::setUrl(const QString& newUrl)
{
    url = newUrl;
}

void UrlClickLabel::mousePressEvent(QMouseEvent* event)
{
    QDesktopServices::openUrl(QUrl(url));
    event->accept();
}

void UrlClickLabel::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        QDesktopServices::openUrl(QUrl(url));
        event->accept();
        return;
    default:
        QLabel::keyPressEvent(event);
    }
}

// A picture shows no text cursor: without a frame, nobody could see where the focus is.
void UrlClickLabel::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}

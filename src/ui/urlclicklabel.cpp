#include "ui/urlclicklabel.h"

#include <QDesktopServices>
#include <QMouseEvent>
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

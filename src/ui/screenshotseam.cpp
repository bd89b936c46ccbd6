#include "ui/screenshotseam.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QFont>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <utility>

namespace ScreenshotSeam {

namespace {
constexpr int pollMs = 100;

// The box or dialog in front: the modal one if there is one, else any other visible window.
QWidget* dialogInFront(QWidget* window)
{
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    const QWidgetList all = QApplication::topLevelWidgets();
    for (QWidget* widget : all) {
        if (widget != window && widget->isVisible() && qobject_cast<QDialog*>(widget))
            return widget;
    }
    return nullptr;
}

// Xvfb has no window manager: a plain title bar shows each window's title as a user sees it.
constexpr int titleHeight = 24;

QRect framed(const QWidget* widget)
{
    return widget->geometry().adjusted(0, -titleHeight, 0, 0);
}

void paintFramed(QPainter& painter, QWidget* widget, const QPoint& origin)
{
    const QRect frame = framed(widget).translated(-origin);
    painter.fillRect(frame.x(), frame.y(), frame.width(), titleHeight, QColor(0x2b, 0x2d, 0x30));
    painter.setPen(Qt::white);
    painter.drawText(QRect(frame.x() + 8, frame.y(), frame.width() - 16, titleHeight), Qt::AlignVCenter | Qt::AlignLeft,
                     widget->windowTitle());
    painter.drawPixmap(frame.x(), frame.y() + titleHeight, widget->grab());
    painter.setPen(QColor(0x20, 0x20, 0x20));
    painter.drawRect(frame.adjusted(0, 0, -1, -1));
}

QImage compose(QWidget* window, QWidget* dialog)
{
    const bool windowShown = window && window->isVisible();
    // A dialog that is not a message box would hide the window: show it offset, as a user
    // would place it.
    if (windowShown && dialog && !qobject_cast<QMessageBox*>(dialog))
        dialog->move(window->geometry().topLeft() + QPoint(window->width() / 3, window->height() / 4));
    QRect area;
    if (windowShown)
        area = framed(window);
    if (dialog)
        area = area.united(framed(dialog));
    area.adjust(-12, -12, 12, 12);
    QImage picture(area.size(), QImage::Format_RGB32);
    picture.fill(QColor(0x3c, 0x3f, 0x41));
    QPainter painter(&picture);
    if (windowShown)
        paintFramed(painter, window, area.topLeft());
    if (dialog)
        paintFramed(painter, dialog, area.topLeft());
    return picture;
}

void closeDialog(QWidget* dialog)
{
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
        QAbstractButton* button = box->escapeButton();
        if (!button)
            button = box->defaultButton();
        if (button) {
            button->click();
            return;
        }
    }
    dialog->close();
}

void takePicture(QPointer<QWidget> window, const QString& path)
{
    QWidget* dialog = dialogInFront(window);
    if (!dialog && !(window && window->isVisible())) {
        // Nothing on screen yet (a blocking query may still run): look again soon.
        QTimer::singleShot(pollMs, qApp, [window, path] { takePicture(window, path); });
        return;
    }
    const bool saved = compose(window, dialog).save(path, "PNG");
    std::fprintf(stderr, "screenshot %s: %s\n", saved ? "saved" : "FAILED", qPrintable(path));
    std::fflush(stderr);
    qputenv("QUORVEL_AUTOCLOSE_DIALOGS", "1");
    QCoreApplication::exit(saved ? 0 : 3);
    if (dialog)
        closeDialog(dialog);
}

// Saves the window's picture when it receives its close event, before it is hidden.
class CloseWatcher : public QObject {
public:
    CloseWatcher(QWidget* window, QString path)
        : QObject(window)
        , path(std::move(path))
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Close && !saved) {
            auto* window = static_cast<QWidget*>(watched);
            saved = true;
            const bool ok = compose(window, nullptr).save(path, "PNG");
            std::fprintf(stderr, "screenshot %s: %s\n", ok ? "saved" : "FAILED", qPrintable(path));
        }
        return false;
    }

private:
    const QString path;
    bool saved = false;
};

void clickWhenShown(QPointer<QWidget> window, QStringList names)
{
    if (!window || names.isEmpty())
        return;
    if (!window->isVisible()) {
        QTimer::singleShot(pollMs, window, [window, names] { clickWhenShown(window, names); });
        return;
    }
    for (const QString& name : std::as_const(names)) {
        if (auto* button = window->findChild<QAbstractButton*>(name.trimmed()))
            button->click();
        else
            std::fprintf(stderr, "screenshot: no button %s\n", qPrintable(name));
    }
}
}

QPalette highContrastPalette()
{
    QPalette palette(Qt::white, Qt::black);
    palette.setColor(QPalette::Base, Qt::black);
    palette.setColor(QPalette::Text, Qt::white);
    palette.setColor(QPalette::Button, Qt::black);
    palette.setColor(QPalette::ButtonText, Qt::white);
    palette.setColor(QPalette::Highlight, Qt::yellow);
    palette.setColor(QPalette::HighlightedText, Qt::black);
    palette.setColor(QPalette::Link, Qt::cyan);
    palette.setColor(QPalette::ToolTipBase, Qt::black);
    palette.setColor(QPalette::ToolTipText, Qt::white);
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, Qt::gray);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, Qt::gray);
    palette.setColor(QPalette::Disabled, QPalette::Text, Qt::gray);
    return palette;
}

namespace {
void applyLook()
{
    bool ok = false;
    const double scale = qEnvironmentVariable("QUORVEL_FONT_SCALE").toDouble(&ok);
    if (ok && scale > 0) {
        QFont font = QApplication::font();
        if (font.pointSizeF() > 0)
            font.setPointSizeF(font.pointSizeF() * scale);
        else
            font.setPixelSize(qRound(font.pixelSize() * scale));
        QApplication::setFont(font);
    }
    if (qEnvironmentVariableIntValue("QUORVEL_HIGH_CONTRAST") == 1)
        QApplication::setPalette(highContrastPalette());
}
}

void arm(QWidget* window)
{
    applyLook();
    QPointer<QWidget> guarded(window);
    const QString atClose = qEnvironmentVariable("QUORVEL_SCREENSHOT_AT_CLOSE");
    const QString path = qEnvironmentVariable("QUORVEL_SCREENSHOT");
    if (atClose.isEmpty() && path.isEmpty())
        return;
    if (!atClose.isEmpty())
        new CloseWatcher(window, atClose);
    if (!path.isEmpty()) {
        bool ok = false;
        int delay = qEnvironmentVariableIntValue("QUORVEL_SCREENSHOT_DELAY", &ok);
        if (!ok || delay < 0)
            delay = 500;
        QTimer::singleShot(delay, qApp, [guarded, path] { takePicture(guarded, path); });
    }
    const QString clicks = qEnvironmentVariable("QUORVEL_SCREENSHOT_CLICK");
    if (!clicks.isEmpty())
        QTimer::singleShot(0, window, [guarded, clicks] {
            clickWhenShown(guarded, clicks.split(QLatin1Char(','), Qt::SkipEmptyParts));
        });
}

}

#include "ui/screenshotseam.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>

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

QImage compose(QWidget* window, QWidget* dialog)
{
    QRect area;
    if (window && window->isVisible())
        area = window->geometry();
    if (dialog)
        area = area.united(dialog->geometry());
    QImage picture(area.size(), QImage::Format_RGB32);
    picture.fill(QColor(0x3c, 0x3f, 0x41));
    QPainter painter(&picture);
    if (window && window->isVisible())
        painter.drawPixmap(window->geometry().topLeft() - area.topLeft(), window->grab());
    if (dialog) {
        const QRect frame = dialog->geometry().translated(-area.topLeft());
        painter.drawPixmap(frame.topLeft(), dialog->grab());
        painter.setPen(QColor(0x20, 0x20, 0x20));
        painter.drawRect(frame.adjusted(0, 0, -1, -1));
    }
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

void arm(QWidget* window)
{
    const QString path = qEnvironmentVariable("QUORVEL_SCREENSHOT");
    if (path.isEmpty())
        return;
    bool ok = false;
    int delay = qEnvironmentVariableIntValue("QUORVEL_SCREENSHOT_DELAY", &ok);
    if (!ok || delay < 0)
        delay = 500;
    QPointer<QWidget> guarded(window);
    QTimer::singleShot(delay, qApp, [guarded, path] { takePicture(guarded, path); });
    const QString clicks = qEnvironmentVariable("QUORVEL_SCREENSHOT_CLICK");
    if (!clicks.isEmpty())
        QTimer::singleShot(0, window, [guarded, clicks] {
            clickWhenShown(guarded, clicks.split(QLatin1Char(','), Qt::SkipEmptyParts));
        });
}

}

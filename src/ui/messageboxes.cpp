#include "ui/messageboxes.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QtGlobal>

#include <cstdio>

namespace MessageBoxes {

namespace {
bool unattendedMode = false;
int countdownTickMs = 1000;

void printLine(const QString& title, const QString& text)
{
    QString line = title + QStringLiteral(": ") + text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

// Shows the seconds left on the answering button and presses it when they are up.
void startCountdown(QMessageBox& box, QMessageBox::StandardButton answer, int seconds)
{
    QAbstractButton* button = box.button(answer);
    Q_ASSERT_X(button, "MessageBoxes", "the unattended answer must be one of the box's buttons");
    if (!button)
        button = box.addButton(answer);
    const QString label = button->text();
    const auto showLeft = [button, label](int left) {
        button->setText(QStringLiteral("%1 (%2)").arg(label).arg(left));
    };
    showLeft(seconds);
    auto* timer = new QTimer(&box);
    QObject::connect(timer, &QTimer::timeout, button, [timer, button, showLeft, left = seconds]() mutable {
        if (--left > 0) {
            showLeft(left);
            return;
        }
        timer->stop();
        button->click();
    });
    timer->start(countdownTickMs);
}

QMessageBox::StandardButton show(QMessageBox::Icon icon, QWidget* parent, const QString& title,
                                 const QString& text, Qt::TextFormat format,
                                 QMessageBox::StandardButtons buttons,
                                 QMessageBox::StandardButton unattendedAnswer, int seconds)
{
    if (autoCloseEnabled() || unattendedMode)
        printLine(title, text);
    if (autoCloseEnabled())
        return unattendedAnswer;
    QMessageBox box(icon, title, text, buttons, parent);
    box.setTextFormat(format);
    if (seconds > 0)
        startCountdown(box, unattendedAnswer, seconds);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}
}

bool autoCloseEnabled()
{
    return qEnvironmentVariableIsSet("QUORVEL_AUTOCLOSE_DIALOGS");
}

void setUnattended(bool unattended)
{
    unattendedMode = unattended;
}

bool isUnattended()
{
    return unattendedMode;
}

void setCountdownTick(int milliseconds)
{
    if (milliseconds > 0)
        countdownTickMs = milliseconds;
}

QMessageBox::StandardButton critical(QWidget* parent, const QString& title, const QString& text,
                                     QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton unattendedAnswer)
{
    return show(QMessageBox::Critical, parent, title, text, Qt::PlainText, buttons, unattendedAnswer,
                unattendedMode ? UnattendedSeconds : 0);
}

QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                     QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton unattendedAnswer)
{
    return show(QMessageBox::Question, parent, title, text, Qt::RichText, buttons, unattendedAnswer,
                unattendedMode ? UnattendedSeconds : 0);
}

void notice(QWidget* parent, const QString& title, const QString& text, int seconds)
{
    show(QMessageBox::Information, parent, title, text, Qt::PlainText, QMessageBox::Ok, QMessageBox::Ok, seconds);
}

}

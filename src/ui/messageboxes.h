#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

namespace MessageBoxes {

// Shows a modal critical box and returns the button that closed it. The text is shown as
// plain text: error texts may carry what a server sent, and markup there could make the box
// load local files.
// When the environment variable QUORVEL_AUTOCLOSE_DIALOGS is set (process-level tests and
// scripted runs), no box is shown: "title: text" is written to stderr on one line and
// unattendedAnswer is returned, so the program never waits for a click nobody can give.
// In the unattended mode the box is shown, its line goes to stderr as well, and it presses
// unattendedAnswer itself after a countdown shown on that button.
QMessageBox::StandardButton critical(QWidget* parent, const QString& title, const QString& text,
                                     QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                     QMessageBox::StandardButton unattendedAnswer = QMessageBox::Ok);

// A modal question box with our own (rich) text; auto-closed like critical().
QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                     QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton unattendedAnswer);

// A short information box that closes itself after `seconds`, whatever the mode.
void notice(QWidget* parent, const QString& title, const QString& text, int seconds);

bool autoCloseEnabled();

// The unattended mode: no box waits for a person.
void setUnattended(bool unattended);
bool isUnattended();
// Seconds a box of the unattended mode stays open.
constexpr int UnattendedSeconds = 10;
// Length of one second of the countdown; only the test program shortens it.
void setCountdownTick(int milliseconds);

}

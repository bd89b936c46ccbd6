#include "ui/messageboxes.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>

namespace MessageBoxes {

namespace {
QMessageBox::StandardButton show(QMessageBox::Icon icon, QWidget* parent, const QString& title,
                                 const QString& text, Qt::TextFormat format,
                                 QMessageBox::StandardButtons buttons,
                                 QMessageBox::StandardButton unattendedAnswer)
{
    if (autoCloseEnabled()) {
        QString line = title + QStringLiteral(": ") + text;
        line.replace(QLatin1Char('\n'), QLatin1Char(' '));
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
        std::fflush(stderr);
        return unattendedAnswer;
    }
    QMessageBox box(icon, title, text, buttons, parent);
    box.setTextFormat(format);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}
}

bool autoCloseEnabled()
{
    return qEnvironmentVariableIsSet("QUORVEL_AUTOCLOSE_DIALOGS");
}

QMessageBox::StandardButton critical(QWidget* parent, const QString& title, const QString& text,
                                     QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton unattendedAnswer)
{
    return show(QMessageBox::Critical, parent, title, text, Qt::PlainText, buttons, unattendedAnswer);
}

QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                     QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton unattendedAnswer)
{
    return show(QMessageBox::Question, parent, title, text, Qt::RichText, buttons, unattendedAnswer);
}

}

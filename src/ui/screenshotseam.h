#pragma once

#include <QPalette>

class QWidget;

// Pictures of the real program for the documentation, driven by the environment:
//   QUORVEL_SCREENSHOT=file.png     save a picture, then end the program
//   QUORVEL_SCREENSHOT_DELAY=ms     when to take it, counted from arm() (default 500)
//   QUORVEL_SCREENSHOT_CLICK=a,b    buttons of the window (object names) clicked in this order
//                                   as soon as the window is shown
//   QUORVEL_SCREENSHOT_AT_CLOSE=f.png  save a picture of the window as it closes (the last
//                                   thing a user saw of an unattended run); the program goes on
//   QUORVEL_FONT_SCALE=1.5          the application font this many times its size
//   QUORVEL_HIGH_CONTRAST=1         white on black, as a high-contrast desktop theme would set it
// The last two apply whether or not a picture is taken.
// The picture holds the window if it is shown and, above it, the message box or dialog that is
// open at that moment, so an error reported before the window appears is captured too. Boxes
// are closed afterwards; later ones are written to stderr as with QUORVEL_AUTOCLOSE_DIALOGS.
namespace ScreenshotSeam {

// Does nothing unless one of the variables is set. Call before anything can open a box.
void arm(QWidget* window);

QPalette highContrastPalette();

}

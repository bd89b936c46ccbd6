#pragma once

#include <QBasicTimer>
#include <QString>
#include <QWidget>

class QTextDocument;

// One line of news (HTML) that scrolls from right to left like a ticker and pauses for three
// seconds after each pass. A click opens the link under the mouse, or else the default link
// named in the text by a comment "<!--URL=...-->". It stands still while the mouse is over it
// or it has the focus; Space toggles it, and a choice made that way outlasts the focus.
class NewsBanner : public QWidget
{
    Q_OBJECT

public:
    explicit NewsBanner(QWidget* parent = nullptr);
    ~NewsBanner() override;

    void setNews(const QString& text);
    // The link target under a widget position; empty when there is none.
    QString anchorAt(const QPoint& pos) const;

    // The tallest the banner gets, whatever the news asks for.
    static constexpr int maximumBannerHeight = 48;

    // Read by tests and the screenshot seam.
    float getXOffset() const { return xOffset; }
    int getTextWidth() const { return textWidth; }
    bool isPaused() const { return paused; }
    QString getUrl() const { return url; }
    int scrollTimerId() const { return scrollTimer.timerId(); }
    // Stopped by the mouse, the focus or the keyboard.
    bool isHeld() const { return hovered || heldByUser; }

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    float textTop() const;
    // Stops or restarts the timer after one of the reasons to stand still changed.
    void applyHold();

    QBasicTimer scrollTimer;
    QTextDocument* document;
    float xOffset = 0;
    int textWidth = 0;
    int textHeight = 0;
    bool paused = false;
    QString url;
    bool hovered = false;
    bool heldByUser = false;
    // What the keyboard had chosen before the focus came, restored when it leaves unless
    // Space made a new choice meanwhile.
    bool heldBeforeFocus = false;
    bool toggledWhileFocused = false;
};

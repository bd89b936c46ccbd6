#pragma once

#include <QBasicTimer>
#include <QString>
#include <QWidget>

class QTextDocument;

// One line of news (HTML) that scrolls from right to left like a ticker and pauses for three
// seconds after each pass. A click opens the link under the mouse, or else the default link
// named in the text by a comment "<!--URL=...-->".
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

protected:
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    float textTop() const;

    QBasicTimer scrollTimer;
    QTextDocument* document;
    float xOffset = 0;
    int textWidth = 0;
    int textHeight = 0;
    bool paused = false;
    QString url;
};

#pragma once

#include <QLabel>
#include <QString>

// A label that opens its URL in the desktop's browser when clicked: the logo and the banner image.
// Given the focus, Enter or Space opens it too.
class UrlClickLabel : public QLabel
{
    Q_OBJECT

public:
    explicit UrlClickLabel(QWidget* parent = nullptr);
    ~UrlClickLabel() override;

    void setUrl(const QString& url);
    QString getUrl() const { return url; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QString url;
};

#pragma once

#include <QColor>
#include <QLabel>

// The main window's one-line status text. It paints its own text in its own colour on the
// window's background, 2 pixels in from its top-left corner, and shortens a long text only
// where it draws it: text() always stays the caller's text.
class AStatic : public QLabel {
    Q_OBJECT
public:
    AStatic(const QString& text, const QColor& textColor, QWidget* parent);

    QColor TextColor() const { return m_textColor; }

    // The text as it is drawn: past 80 UTF-16 units, the first 80 followed by "....". A
    // surrogate pair is never split: then only 79 are kept.
    QString DisplayedText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const QColor m_textColor;
};

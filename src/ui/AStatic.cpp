#include "ui/AStatic.h"

#include <QPainter>

namespace {
constexpr qsizetype MaxShownLength = 80;
constexpr QPoint TextOffset(2, 2);
} // namespace

AStatic::AStatic(const QString& text, const QColor& textColor, QWidget* parent)
    : QLabel(text, parent), m_textColor(textColor) {
    setTextFormat(Qt::PlainText);
    // The palette says the same as the painting, so whoever reads the label's colour agrees with
    // what is on screen.
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, m_textColor);
    setPalette(colours);
}

QString AStatic::DisplayedText() const {
    const QString whole = text();
    if (whole.size() <= MaxShownLength)
        return whole;
    // A character outside the BMP that straddles the cut goes whole rather than leave half of
    // its surrogate pair to be drawn as a stray box.
    const qsizetype kept =
        whole.at(MaxShownLength - 1).isHighSurrogate() ? MaxShownLength - 1 : MaxShownLength;
    return whole.left(kept) + QStringLiteral("....");
}

void AStatic::paintEvent(QPaintEvent*) {
    // No background: the window's own surface shows around and behind the characters.
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(m_textColor);
    const QFontMetrics metrics(font());
    painter.drawText(TextOffset + QPoint(0, metrics.ascent()), DisplayedText());
}

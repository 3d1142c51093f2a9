#include "ui/DialogUnits.h"

#include <QFontMetrics>
#include <QWidget>

namespace {

struct UnitScale {
    double x; // pixels per horizontal dialog unit
    double y; // pixels per vertical dialog unit
};

UnitScale ScaleFor(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width of the Latin letters, as dialog templates measure it.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const double average = (metrics.horizontalAdvance(letters) / 26.0 + 1) / 2.0;
    return {average / 4.0, metrics.height() / 8.0};
}

QRect ToPixels(const QRect& units, UnitScale scale) {
    const int left = qRound(units.x() * scale.x);
    const int top = qRound(units.y() * scale.y);
    const int right = qRound((units.x() + units.width()) * scale.x);
    const int bottom = qRound((units.y() + units.height()) * scale.y);
    return QRect(left, top, right - left, bottom - top);
}

} // namespace

void ApplyDialogUnits(QWidget* dialog) {
    const UnitScale scale = ScaleFor(dialog->font());
    for (QObject* child : dialog->children()) {
        if (auto* widget = qobject_cast<QWidget*>(child); widget && !widget->isWindow())
            widget->setGeometry(ToPixels(widget->geometry(), scale));
    }
    const QSize size = ToPixels(QRect(QPoint(0, 0), dialog->size()), scale).size();
    dialog->setFixedSize(size);
}

#include "ui/FitLabels.h"

#include <QLabel>

#include <algorithm>

void FitLabelsToText(QWidget* dialog) {
    QSize needed = dialog->size();
    for (QLabel* label : dialog->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        const QSize hint = label->sizeHint();
        label->resize(std::max(label->width(), hint.width()),
                      std::max(label->height(), hint.height()));
        // A label that now reaches past the edge keeps a letter's width of margin there.
        const int margin = label->fontMetrics().averageCharWidth();
        needed = needed.expandedTo(
            QSize(label->geometry().right() + 1 + margin, label->geometry().bottom() + 1 + margin));
    }
    if (needed != dialog->size())
        dialog->setFixedSize(needed);
}

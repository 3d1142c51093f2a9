#include "ui/OkBox.h"

#include <QMessageBox>

void ShowOkBox(QWidget* owner, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

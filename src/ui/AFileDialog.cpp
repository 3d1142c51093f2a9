#include "ui/AFileDialog.h"

AFileDialog::AFileDialog(QWidget* parent, bool zipFilter)
    : QFileDialog(parent,
                  QStringLiteral("Select only one file and click on the Select button below")) {
    setOption(QFileDialog::DontUseNativeDialog);
    // AnyFile in open mode: one file, existing or typed, without an overwrite question.
    setFileMode(QFileDialog::AnyFile);
    setAcceptMode(QFileDialog::AcceptOpen);
    setLabelText(QFileDialog::Accept, QStringLiteral("Select"));
    if (zipFilter)
        setNameFilter(QStringLiteral("Zip Files(*.zip)"));
}

#include "ui/CTarvoDlg.h"

CTarvoDlg::CTarvoDlg(QWidget* parent) : ReportingDialog(parent) {
    setWindowTitle(QStringLiteral("Tarvo 1.0"));
}

#pragma once

#include "ui/ReportingDialog.h"

// The interactive window. (Its controls and commands come next.)
class CTarvoDlg : public ReportingDialog {
    Q_OBJECT
public:
    explicit CTarvoDlg(QWidget* parent = nullptr);

protected:
    void OnProgressStep() override {}
    void OnOperationFinished() override {}
    void OnProgressReset() override {}
};

#pragma once

#include "operation/ReportTarget.h"

// Reports of the command-line front end: messages are printed (failures on stderr) and need no
// answer; progress and folders are not shown.
class ConsoleReport : public ReportTarget {
public:
    void Post(ProgressMessage) override {}
    void ShowMessage(const QString& text, const QString& caption, MessageKind kind,
                     const QString& detail) override;
    void OpenFolder(const QString&) override {}
    void EndProcess(int) override {}
};

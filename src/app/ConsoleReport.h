#pragma once

#include "operation/ReportTarget.h"

#include <QString>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>

class WorkMeter;

// Reports of the command-line front end: messages are printed (failures on stderr), each cause
// on a line of its own below its message, and need no answer. With a meter, progress is one line
// on stderr that rewrites itself: the percentage, the bytes done of the total, the current entry.
// Folders are not shown. A password is asked of the source it is given, if any.
class ConsoleReport : public ReportTarget {
public:
    // meter: the work to show on the progress line; none shows no line.
    explicit ConsoleReport(const WorkMeter* meter = nullptr,
                           std::unique_ptr<PasswordSource> passwords = nullptr);

    void Post(ProgressMessage message) override;
    void ShowMessage(const QString& text, const QString& caption, MessageKind kind,
                     const QString& detail) override;
    void OpenFolder(const QString&) override {}
    void EndProcess(int) override {}
    PasswordSource* Passwords() override { return m_passwords.get(); }

    // The progress line for this much work, cut to width columns.
    static QString ProgressLine(std::uint64_t done, std::uint64_t total, const QString& current,
                                int width);

private:
    void DrawProgress();
    void ClearProgress();

    const WorkMeter* m_meter;
    const std::unique_ptr<PasswordSource> m_passwords;
    std::mutex m_mutex; // reports come from the worker and the ticker
    bool m_lineShown = false;
    std::chrono::steady_clock::time_point m_lastDrawn{};
};

#pragma once

#include "operation/PasswordSource.h"
#include "operation/ProgressMessages.h"

#include <QString>

#include <memory>
#include <mutex>
#include <optional>

// What a message tells: how an operation ended, or that it failed or was refused. A front end
// without windows writes failures where errors go.
enum class MessageKind { Outcome, Failure };

// Where a worker reports to: the window that started the operation, the command-line front end,
// or a recording double in the tests. Every member may be called from any thread.
class ReportTarget {
public:
    virtual ~ReportTarget() = default;

    // Queues a progress report for the UI thread; never blocks.
    virtual void Post(ProgressMessage message) = 0;

    // Shows a message with one OK button and waits until the user has dismissed it. detail, when
    // not empty, says what the text leaves out: the cause of a failure, with the entry and the
    // path involved, or what a run skipped. A window shows it on request, the command line on a
    // line of its own.
    virtual void ShowMessage(const QString& text, const QString& caption, MessageKind kind,
                             const QString& detail) = 0;

    // Shows a result folder in the desktop's file browser.
    virtual void OpenFolder(const QString& folder) = 0;

    // Ends the process in an orderly way with this exit code (direct mode, after a failure).
    virtual void EndProcess(int exitCode) = 0;

    // Who answers when an archive asks for a password; none: an encrypted archive fails as
    // needing one. It lives as long as the target.
    virtual PasswordSource* Passwords() { return nullptr; }
};

// The handle through which workers and the ticker reach their ReportTarget. It can be read and
// replaced from any thread; reports sent while no target is set are dropped.
class ReportHandle {
public:
    void Set(std::shared_ptr<ReportTarget> target);
    std::shared_ptr<ReportTarget> Get() const;

    void Post(ProgressMessage message) const;
    void ShowMessage(const QString& text, const QString& caption, MessageKind kind,
                     const QString& detail = {}) const;
    void OpenFolder(const QString& folder) const;
    void EndProcess(int exitCode) const;
    // Asks the target's password source; nothing when there is none or none was given.
    std::optional<SecretText> AskPassword(const PasswordRequest& request) const;

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<ReportTarget> m_target;
};

#include "operation/ReportTarget.h"

void ReportHandle::Set(std::shared_ptr<ReportTarget> target) {
    std::lock_guard lock(m_mutex);
    m_target = std::move(target);
}

std::shared_ptr<ReportTarget> ReportHandle::Get() const {
    std::lock_guard lock(m_mutex);
    return m_target;
}

// The target is copied out of the lock before it is called, so a message box that blocks a
// worker never holds up another thread that wants to post.
void ReportHandle::Post(ProgressMessage message) const {
    if (auto target = Get())
        target->Post(message);
}

void ReportHandle::ShowMessage(const QString& text, const QString& caption, MessageKind kind,
                               const QString& detail) const {
    if (auto target = Get())
        target->ShowMessage(text, caption, kind, detail);
}

void ReportHandle::OpenFolder(const QString& folder) const {
    if (auto target = Get())
        target->OpenFolder(folder);
}

void ReportHandle::EndProcess(int exitCode) const {
    if (auto target = Get())
        target->EndProcess(exitCode);
}

std::optional<SecretText> ReportHandle::AskPassword(const PasswordRequest& request) const {
    const auto target = Get();
    PasswordSource* source = target ? target->Passwords() : nullptr;
    if (!source)
        return std::nullopt;
    return source->AskPassword(request);
}

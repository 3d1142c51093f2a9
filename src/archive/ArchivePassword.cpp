#include "archive/ArchivePassword.h"

#include "ziparchive/CZipArchive.h"

#include <QFileInfo>

#include <optional>

void UnlockArchive(CZipArchive& zip, const QString& archivePath, const ReportHandle& report,
                   const std::atomic<bool>& stop) {
    const std::optional<std::uint64_t> encrypted = zip.GetFirstEncrypted();
    if (!encrypted)
        return;
    const std::string label = zip.GetEntryLabel(*encrypted);
    PasswordRequest request{QFileInfo(archivePath).fileName(), 1, kPasswordAttempts};
    for (; request.attempt <= kPasswordAttempts; ++request.attempt) {
        const std::optional<SecretText> password = report.AskPassword(request);
        // Closing the window while it asks stops the run; the answer no longer counts.
        if (stop)
            throw CZipStopped("the extraction was stopped");
        if (!password)
            break;
        if (zip.SetPassword(password->CString()))
            return;
    }
    if (request.attempt == 1)
        throw CZipException(label + " is encrypted: a password is needed, and none was given");
    throw CZipException("the password is wrong: it does not open " + label);
}

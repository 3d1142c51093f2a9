#pragma once

#include "operation/SecretText.h"

#include <QString>

#include <optional>

// What the worker says when it asks for the password of an archive.
struct PasswordRequest {
    QString archiveName; // the archive's file name, for the question
    int attempt = 1;     // 1 for the first question; more after a wrong answer
    int attempts = 1;    // questions the worker asks at most
};

// Whoever can give the password of an encrypted archive: the window that runs the unzip, or the
// terminal of the command line. AskPassword is called on the worker's thread and waits for the
// answer; nothing means none was given (cancelled, or there is no one to ask any more).
class PasswordSource {
public:
    virtual ~PasswordSource() = default;
    virtual std::optional<SecretText> AskPassword(const PasswordRequest& request) = 0;
};

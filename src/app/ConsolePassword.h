#pragma once

#include "operation/PasswordSource.h"

#include <optional>
#include <stdexcept>

// The password source of the command-line front end: the first line of a password file, given
// once (a second question means it was wrong, and the file will not change its mind); else,
// when stdin is a terminal, typed there without echo; else none, so an encrypted archive fails.
class ConsolePassword : public PasswordSource {
public:
    // From the terminal, if stdin is one.
    ConsolePassword() = default;
    // From the file's first line, without its line end, read now. Throws std::runtime_error
    // with the cause when the file cannot be read.
    explicit ConsolePassword(const char* passwordFile);

    std::optional<SecretText> AskPassword(const PasswordRequest& request) override;

private:
    std::optional<SecretText> m_fromFile;
    bool m_fileGiven = false;
};

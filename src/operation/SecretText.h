#pragma once

#include <QString>

#include <string>
#include <string_view>

// A password's bytes (UTF-8), wiped from memory when cleared, moved from or destroyed, so it
// lives no longer than the run that needs it. Copies are not allowed: each would be one more
// place to wipe.
class SecretText {
public:
    SecretText() = default;
    ~SecretText() { Clear(); }
    SecretText(SecretText&& other) noexcept;
    SecretText& operator=(SecretText&& other) noexcept;
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    // Takes the text typed into a widget and wipes the caller's copy.
    static SecretText TakeFrom(QString& text);

    // Room for a password typed character by character, so the buffer is not moved (and an
    // old copy left behind) as it grows. Past this, a longer one still works.
    void Reserve(std::size_t size) { m_bytes.reserve(size); }
    void Append(char c) { m_bytes.push_back(c); }

    // Zero-terminated, for libzip.
    const char* CString() const { return m_bytes.c_str(); }
    std::string_view View() const { return m_bytes; }
    bool IsEmpty() const { return m_bytes.empty(); }

    void Clear() noexcept;

private:
    std::string m_bytes;
};

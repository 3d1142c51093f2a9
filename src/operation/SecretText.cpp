#include "operation/SecretText.h"

#include <cstring>
#include <utility>

SecretText::SecretText(SecretText&& other) noexcept : m_bytes(std::move(other.m_bytes)) {
    other.Clear();
}

SecretText& SecretText::operator=(SecretText&& other) noexcept {
    if (this != &other) {
        Clear();
        m_bytes = std::move(other.m_bytes);
        other.Clear();
    }
    return *this;
}

SecretText SecretText::TakeFrom(QString& text) {
    QByteArray utf8 = text.toUtf8();
    SecretText secret;
    secret.Reserve(static_cast<std::size_t>(utf8.size()));
    for (const char c : std::as_const(utf8))
        secret.Append(c);
    // Both buffers are ours alone here (fill detaches a shared one, and the shared copy then
    // belongs to whoever shares it).
    utf8.fill('\0');
    text.fill(QChar(u'\0'));
    text.clear();
    return secret;
}

// The whole buffer is wiped, past the size too: a short string keeps bytes there after a move.
// explicit_bzero is not optimised away as a plain memset before the release may be.
void SecretText::Clear() noexcept {
    m_bytes.resize(m_bytes.capacity());
    ::explicit_bzero(m_bytes.data(), m_bytes.size());
    m_bytes.clear();
}

#include "ziparchive/write/EntryName.h"

#include "ziparchive/CZipException.h"

#include <cstdint>

namespace {

// Whether a name reads as text beyond ASCII: printable ASCII, tab, CR and LF pass; any other byte
// must start a sequence of the right number of continuation bytes. A control byte or a stray
// continuation byte makes the name raw bytes. Archives written before keep their flags by this
// very test, so it stays as it is.
bool LooksLikeUtf8Text(std::string_view bytes) {
    bool beyondAscii = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(bytes[i]);
        if ((c > 31 && c < 128) || c == '\r' || c == '\n' || c == '\t')
            continue;
        beyondAscii = true;
        std::size_t continuation = 0;
        if ((c & 0xE0) == 0xC0)
            continuation = 1;
        else if ((c & 0xF0) == 0xE0)
            continuation = 2;
        else if ((c & 0xF8) == 0xF0)
            continuation = 3;
        else
            return false;
        if (i + continuation >= bytes.size())
            return false;
        for (std::size_t k = 1; k <= continuation; ++k)
            if ((static_cast<std::uint8_t>(bytes[i + k]) & 0xC0) != 0x80)
                return false;
        i += continuation;
    }
    return beyondAscii;
}

} // namespace

void CheckEntryName(const std::string& name) {
    if (name.empty())
        throw CZipException("an entry needs a name");
    if (name.size() > 0xFFFF)
        throw CZipException("the entry name is longer than 65,535 bytes: " + name.substr(0, 64) +
                            "...");
    if (name.find('\0') != std::string::npos)
        throw CZipException("an entry name holds a NUL byte");
}

bool StoredAsUtf8(std::string_view name) {
    return LooksLikeUtf8Text(name) && IsWellFormedUtf8(name);
}

bool IsWellFormedUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<std::uint8_t>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint8_t low = 0x80, high = 0xBF; // the allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                low = 0xA0; // overlong
            if (lead == 0xED)
                high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                low = 0x90; // overlong
            if (lead == 0xF4)
                high = 0x8F; // past U+10FFFF
        } else {
            return false;
        }
        if (bytes.size() - i < length)
            return false;
        const auto second = static_cast<std::uint8_t>(bytes[i + 1]);
        if (second < low || second > high)
            return false;
        for (std::size_t k = 2; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(bytes[i + k]);
            if (next < 0x80 || next > 0xBF)
                return false;
        }
        i += length;
    }
    return true;
}

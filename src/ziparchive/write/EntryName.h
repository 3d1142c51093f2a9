#pragma once

#include <string>
#include <string_view>

// Throws CZipException for a name that cannot be stored: empty, longer than 65,535 bytes, or
// holding a NUL byte (libzip takes C strings). Names are stored with libzip's guess: ASCII as it
// is, well-formed UTF-8 with the UTF-8 flag, anything else as raw bytes without it.
void CheckEntryName(const std::string& name);

// True for a name that libzip 1.7.3 flags as UTF-8 although it is not well-formed UTF-8 (an
// encoded surrogate, an overlong form, a code point past U+10FFFF): it passes libzip's loose
// test, which gives it the flag with no way to store it without, and a reader that decodes
// flagged names strictly (Python's zipfile) would then refuse the whole archive. The writer
// clears the flag of such names afterwards (ClearFalseUtf8Flags).
bool LibzipFlagsFalsely(std::string_view name);

// True when the bytes are well-formed UTF-8: no overlong forms, no surrogates, nothing past
// U+10FFFF.
bool IsWellFormedUtf8(std::string_view bytes);

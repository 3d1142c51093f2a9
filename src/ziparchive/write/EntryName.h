#pragma once

#include <string>
#include <string_view>

// Throws CZipException for a name that cannot be stored: empty, longer than 65,535 bytes, or
// holding a NUL byte (the names are handled as C strings). Names are stored as their bytes.
void CheckEntryName(const std::string& name);

// True for a name stored with the UTF-8 flag: one with bytes past ASCII that are well-formed
// UTF-8 and no control bytes but tab, CR and LF. ASCII needs no flag; anything else is raw
// bytes without it. A name that is not well-formed UTF-8 (an encoded surrogate, an overlong
// form, a code point past U+10FFFF) must never have the flag: a reader that decodes flagged
// names strictly (Python's zipfile) would refuse the whole archive.
bool StoredAsUtf8(std::string_view name);

// True when the bytes are well-formed UTF-8: no overlong forms, no surrogates, nothing past
// U+10FFFF.
bool IsWellFormedUtf8(std::string_view bytes);

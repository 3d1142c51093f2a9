#pragma once

#include <string>
#include <string_view>

// Throws CZipException for a name that cannot be stored so that every reader can read it back:
// - empty, longer than 65,535 bytes, or holding a NUL byte (libzip takes C strings);
// - bytes that libzip would flag as UTF-8 although they are not well-formed UTF-8 (encoded
//   surrogates, overlong forms, code points past U+10FFFF). libzip 1.7.3 gives every name
//   that passes its loose check the UTF-8 flag and offers no way to store it without, and a
//   reader that decodes flagged names strictly (Python's zipfile) then refuses the whole
//   archive.
// Names are stored with libzip's guess: ASCII as it is, well-formed UTF-8 with the UTF-8 flag,
// anything else as raw bytes without it.
void CheckEntryName(const std::string& name);

// True when the bytes are well-formed UTF-8: no overlong forms, no surrogates, nothing past
// U+10FFFF.
bool IsWellFormedUtf8(std::string_view bytes);

#include "ziparchive/read/MethodName.h"

namespace {

const char* KnownName(std::uint16_t method) {
    switch (method) {
    case 0:
        return "Stored";
    case 1:
        return "Shrink";
    case 2:
    case 3:
    case 4:
    case 5:
        return "Reduce";
    case 6:
        return "Implode";
    case 8:
        return "Deflate";
    case 9:
        return "Deflate64";
    case 10:
        return "PKWARE DCL Implode";
    case 12:
        return "BZIP2";
    case 14:
        return "LZMA";
    case 16:
        return "IBM z/OS CMPSC";
    case 18:
        return "IBM TERSE";
    case 19:
        return "IBM LZ77";
    case 93:
        return "Zstandard";
    case 94:
        return "MP3";
    case 95:
        return "XZ";
    case 96:
        return "JPEG";
    case 97:
        return "WavPack";
    case 98:
        return "PPMd";
    case 99:
        return "AES encryption";
    default:
        return nullptr;
    }
}

} // namespace

std::string MethodName(std::uint16_t method) {
    const char* name = KnownName(method);
    const std::string number = std::to_string(method);
    return name ? std::string(name) + " (" + number + ")" : "method " + number;
}

#pragma once

#include <string>
#include <utility>

// How decoding one entry ended; the decoders of every method report through it.
enum class DecodeStatus {
    Sound,       // all of the declared size came out and the CRC matches
    Corrupt,     // the data does not decode to what the directory declares
    Unsupported, // a compression method nothing here decodes
    ReadFailed,  // the archive file could not be read
    WriteFailed, // the output could not be written (errno in `error`)
    Cancelled,
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::Sound;
    int error = 0;
    std::string detail;

    static DecodeResult Corrupt(std::string why) {
        return {DecodeStatus::Corrupt, 0, std::move(why)};
    }
};

#pragma once

#include "ziparchive/read/decode/StreamDecompressor.h"

#include <algorithm>
#include <utility>

// What the deflate and libbz2 decompressors share: zlib and libbz2 take the input and the output
// through like-named fields of their streams, counted in 32 bits.
class ZlibStyleStream : public StreamDecompressor {
protected:
    using StreamDecompressor::StreamDecompressor;

    // Points the stream at what is left of the input and at `output`, runs `code` on it, and
    // takes off the input what it read. Gives code's status and the bytes it produced.
    template <typename Stream, typename Code>
    std::pair<int, std::size_t> Run(Stream& stream, char* output, std::size_t capacity, Code code) {
        using Count = decltype(stream.avail_in);
        // The loop's buffers are far below what 32 bits count.
        const auto given = static_cast<Count>(std::min<std::size_t>(Input().size(), 1u << 30));
        const auto room = static_cast<Count>(std::min<std::size_t>(capacity, 1u << 30));
        stream.next_in =
            reinterpret_cast<decltype(stream.next_in)>(const_cast<char*>(Input().data()));
        stream.avail_in = given;
        stream.next_out = reinterpret_cast<decltype(stream.next_out)>(output);
        stream.avail_out = room;
        const int status = code(&stream);
        Consume(given - stream.avail_in);
        return {status, room - stream.avail_out};
    }
};

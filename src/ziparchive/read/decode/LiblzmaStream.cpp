#include "ziparchive/read/decode/LiblzmaStream.h"

#include <cstdint>

StreamDecompressor::Step LiblzmaStream::Code(char* output, std::size_t capacity,
                                             lzma_action action) {
    m_stream.next_in = reinterpret_cast<const std::uint8_t*>(Input().data());
    m_stream.avail_in = Input().size();
    m_stream.next_out = reinterpret_cast<std::uint8_t*>(output);
    m_stream.avail_out = capacity;
    const lzma_ret status = lzma_code(&m_stream, action);
    Consume(Input().size() - m_stream.avail_in);
    return StepAfter(status, capacity - m_stream.avail_out);
}

StreamDecompressor::Step LiblzmaStream::StepAfter(lzma_ret status, std::size_t produced) {
    switch (status) {
    case LZMA_OK:
    case LZMA_BUF_ERROR: // no progress was possible; the loop tells when the input has ended
        return {Outcome::Going, produced};
    case LZMA_STREAM_END:
        return {Outcome::Ended, produced};
    case LZMA_MEM_ERROR:
        return {Outcome::NoMemory, produced};
    case LZMA_MEMLIMIT_ERROR:
        return {Outcome::Damaged, produced,
                "the data asks for more memory to decode than this reader allows"};
    case LZMA_OPTIONS_ERROR:
        return {Outcome::Damaged, produced, "the data's settings are damaged or unknown"};
    default:
        return {Outcome::Damaged, produced};
    }
}

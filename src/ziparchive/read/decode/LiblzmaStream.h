#pragma once

#include "ziparchive/read/decode/StreamDecompressor.h"

#include <lzma.h>

// What the LZMA and XZ decompressors share: a liblzma stream, and one call of it.
class LiblzmaStream : public StreamDecompressor {
public:
    using StreamDecompressor::StreamDecompressor;
    ~LiblzmaStream() override { lzma_end(&m_stream); }

protected:
    // Runs the stream on what is left of the input, into `output`.
    Step Code(char* output, std::size_t capacity, lzma_action action);
    // What a liblzma return value means to the loop, with the bytes the call produced.
    static Step StepAfter(lzma_ret status, std::size_t produced);

    lzma_stream m_stream = LZMA_STREAM_INIT;
};

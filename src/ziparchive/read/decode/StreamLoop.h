#pragma once

#include "ziparchive/DecodeResult.h"

#include <atomic>
#include <span>

class CheckedSink;
class EntryInput;
class StreamDecompressor;

// Decodes an entry's stored bytes with `decompressor` into the sink, which checks the size and
// the CRC: reads the input a buffer at a time, lets the decompressor fill the output buffer,
// and stops at the first damage, the first byte past the declared size, a failed write, a stop
// request, or the stream's end. Stored bytes that end before the stream does are damage.
DecodeResult DecodeStream(StreamDecompressor& decompressor, EntryInput& input, CheckedSink& sink,
                          std::span<char> inputBuffer, std::span<char> outputBuffer,
                          const std::atomic<bool>& cancel);

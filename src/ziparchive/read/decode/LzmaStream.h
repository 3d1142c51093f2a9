#pragma once

#include "ziparchive/read/decode/StreamDecompressor.h"

#include <cstdint>
#include <memory>

// LZMA (method 14), with liblzma: a four-byte header (the writer's version and the size of the
// properties), five bytes of LZMA properties, then an LZMA1 stream that ends with an end marker
// or, without one, at the declared size. Either is taken, so the general-purpose flag that says
// which one the writer meant is not needed.
std::unique_ptr<StreamDecompressor> NewLzmaStream(std::uint64_t declaredSize);

#pragma once

#include "ziparchive/read/decode/StreamDecompressor.h"

#include <memory>

class Bzip2Arena;

// BZIP2 (method 12) in one piece, with libbz2: the last word on data the blockwise decoder
// leaves alone or finds damaged. The arena, which keeps libbz2's buffers between entries, is
// borrowed.
std::unique_ptr<StreamDecompressor> NewBzip2Stream(Bzip2Arena& arena);

#pragma once

#include "ziparchive/read/decode/StreamDecompressor.h"

#include <memory>

// Zstandard (method 93), with libzstd: one frame, or several one after another.
std::unique_ptr<StreamDecompressor> NewZstdStream();

#pragma once

#include "ziparchive/read/decode/StreamDecompressor.h"

#include <memory>

// Raw deflate (method 8), with zlib.
std::unique_ptr<StreamDecompressor> NewInflateStream();

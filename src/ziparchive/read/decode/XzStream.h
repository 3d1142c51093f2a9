#pragma once

#include "ziparchive/read/decode/StreamDecompressor.h"

#include <memory>

// XZ (method 95), with liblzma: one .xz stream, or several one after another, with the checks
// they carry.
std::unique_ptr<StreamDecompressor> NewXzStream();

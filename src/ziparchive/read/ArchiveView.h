#pragma once

#include "ziparchive/ZipHandles.h"

#include <atomic>
#include <cstdint>

struct ArchiveLayout;

// Opens the archive in fd read-only with libzip, through a view that shows libzip the archive
// as the directory parse found it: from its offset 0 (past anything put in front of it) to the
// end record, whose comment is left out, so that junk around the archive and a comment cut short
// read as they do in other extractors. fd must stay open while the handle lives; each thread
// reading entries needs a handle of its own. Throws CZipException when libzip refuses it.
// Bytes read before the central directory, the entries' data, are added to the counter that
// `progress` holds at the time, if any; it must outlive the handle.
ZipHandle OpenArchiveView(int fd, const ArchiveLayout& layout,
                          const std::atomic<std::atomic<std::uint64_t>*>* progress = nullptr);

#pragma once

#include <string>
#include <vector>

// Appends every file under folder, at any depth, to fileList: depth first, in each directory's
// own order, as full narrow paths. Directories get no line of their own.
// - A link to a file counts as that file; a dangling link is skipped.
// - A link to a directory is followed, but every directory is visited at most once, so a link
//   back to an ancestor cannot loop.
// - FIFOs, sockets and devices are skipped: reading them would block or never end.
// A directory that cannot be read throws CZipException: an archive must not silently miss files.
// The current directory is not changed.
void WalkFolder(const std::string& folder, std::vector<std::string>& fileList);

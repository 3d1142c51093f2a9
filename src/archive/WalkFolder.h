#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the walk left out because it cannot be packed: FIFOs, sockets and devices.
struct SkippedSpecials {
    std::uint64_t count = 0;
    std::string first; // the full path of the first one found
};

// Calls onFile with every file under folder, at any depth: depth first, in each directory's
// own order, as full narrow paths. Directories get no call of their own.
// - A link to a file counts as that file; a dangling link is skipped.
// - A link to a directory is followed, so a folder reached under two names is listed under
//   each; only a link that leads back into a folder it lies in (a loop) is not followed.
// - FIFOs, sockets and devices are skipped, since reading them would block or never end, and
//   counted in the result.
// A directory that cannot be read throws CZipException: an archive must not silently miss files.
// The current directory is not changed.
SkippedSpecials WalkFolder(const std::string& folder,
                           const std::function<void(std::string&& path)>& onFile);

// The same, appending every file's path to fileList.
SkippedSpecials WalkFolder(const std::string& folder, std::vector<std::string>& fileList);

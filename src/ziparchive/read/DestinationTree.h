#pragma once

#include "ziparchive/fs/UniqueFd.h"

#include <cstddef>
#include <span>
#include <string>
#include <vector>

// Finds and makes directories below the destination, one component at a time from a directory
// descriptor with O_NOFOLLOW, so that no symbolic link, whether it came from the archive or
// stood there before, is ever followed. The directories of the last path stay open, as the
// entries of one folder usually follow each other.
class DestinationTree {
public:
    // rootFd is borrowed and must outlive the tree.
    explicit DestinationTree(int rootFd) : m_root(rootFd) {}

    enum class Standing { Absent, Directory, Link, Other };

    // Whether directories can stand at `parents`: false when one of them, as the destination
    // stands now, is a link or something other than a directory.
    bool ParentsUsable(std::span<const std::string> parents);

    // What stands at the path now; Absent also when a parent is missing.
    Standing Inspect(std::span<const std::string> components);

    // Opens the directory at `parents`, creating what is missing. The descriptor stays owned by
    // the tree until the next call. Throws CZipException.
    int OpenParents(std::span<const std::string> parents);

    // Opens the existing directory at `path` without creating anything; -1 when it is missing or
    // blocked. The descriptor stays owned by the tree until the next call.
    int OpenExisting(std::span<const std::string> path);

private:
    enum class Walk { Complete, Missing, Blocked };
    // Opens as many of `parents` as exist, keeping their descriptors; creates the rest when
    // asked.
    Walk Descend(std::span<const std::string> parents, bool create);
    int Deepest() const { return m_open.empty() ? m_root : m_open.back().fd.Get(); }

    struct OpenDirectory {
        std::string name;
        UniqueFd fd;
    };
    int m_root;
    std::vector<OpenDirectory> m_open;
};

#pragma once

#include "ziparchive/fs/UniqueFd.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Finds and makes directories below the destination, one component at a time from a directory
// descriptor with O_NOFOLLOW, so that no symbolic link, whether it came from the archive or
// stood there before, is ever followed. Paths are components joined by '/', empty for the
// destination itself. The directories of the last path stay open, as the entries of one folder
// usually follow each other, but only the top kKeptLevels of them and the deepest: a name may be
// thousands of folders deep, and descriptors are limited.
class DestinationTree {
public:
    // rootFd is borrowed and must outlive the tree.
    explicit DestinationTree(int rootFd) : m_root(rootFd) {}

    enum class Standing { Absent, Directory, Link, Other };

    // Whether directories can stand at `folder` and above: false when one of them, as the
    // destination stands now, is a link or something other than a directory.
    bool ParentsUsable(std::string_view folder);

    // What stands at the path now; Absent also when a parent is missing.
    Standing Inspect(std::string_view path);

    // Opens the directory `folder`, creating what is missing. The descriptor stays owned by the
    // tree until the next call. Throws CZipException, after removing the folders it created.
    int OpenParents(std::string_view folder);

    // Opens the existing directory `folder` without creating anything; -1 when it is missing or
    // blocked. The descriptor stays owned by the tree until the next call.
    int OpenExisting(std::string_view folder);

private:
    static constexpr std::size_t kKeptLevels = 32;

    enum class Walk { Complete, Missing, Blocked };
    // Opens as many of the folders as exist, keeping their descriptors; creates the rest when
    // asked.
    Walk Descend(std::string_view folder, bool create);
    // Opens the folders kept by name but not by descriptor above level `depth`; false when one
    // of them is gone, and the kept levels then end there.
    bool Reopen(std::size_t depth);
    // Adds an opened folder as the deepest, closing the one above when it is not kept.
    void Push(std::string_view name, int fd);
    // Removes the folders from level `first` down, which this walk created and are empty.
    void RemoveCreated(std::size_t first);
    int Deepest() const { return m_open.empty() ? m_root : m_open.back().fd.Get(); }

    struct OpenDirectory {
        std::string name;
        UniqueFd fd; // closed for levels in the middle of a deep path
    };
    int m_root;
    std::vector<OpenDirectory> m_open;
};

#include "ziparchive/fs/TreeRemoval.h"

#include "ziparchive/fs/DirectoryHandle.h"
#include "ziparchive/fs/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::optional<std::vector<std::string>> NamesIn(int dirFd) {
    // A descriptor of its own, since closedir closes the one it reads from.
    UniqueFd listFd(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listFd.IsOpen())
        return std::nullopt;
    const DirectoryHandle listing(::fdopendir(listFd.Get()));
    if (!listing)
        return std::nullopt;
    listFd.Release(); // the stream closes it now
    std::vector<std::string> names;
    while (const dirent* item = ::readdir(listing.get())) {
        if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
            names.emplace_back(item->d_name);
    }
    return names;
}

bool EmptyDirectory(int dirFd) {
    const auto names = NamesIn(dirFd);
    if (!names)
        return false;
    bool removed = true;
    for (const std::string& name : *names)
        removed = RemoveTreeAt(dirFd, name) && removed;
    return removed;
}

bool RemoveTreeAt(int parentFd, const std::string& name) {
    if (::unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM)
        return false;
    const UniqueFd dirFd(
        ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dirFd.IsOpen())
        return false;
    return EmptyDirectory(dirFd.Get()) && ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0;
}

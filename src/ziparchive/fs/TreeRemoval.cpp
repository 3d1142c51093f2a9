#include "ziparchive/fs/TreeRemoval.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::optional<std::vector<std::string>> NamesIn(int dirFd) {
    // A descriptor of its own, since closedir closes the one it reads from.
    const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return std::nullopt;
    DIR* listing = ::fdopendir(listFd);
    if (!listing) {
        ::close(listFd);
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* item = ::readdir(listing)) {
        if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
            names.emplace_back(item->d_name);
    }
    ::closedir(listing);
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
    const int dirFd =
        ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    const bool emptied = EmptyDirectory(dirFd);
    ::close(dirFd);
    return emptied && ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0;
}

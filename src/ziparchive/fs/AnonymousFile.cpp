#include "ziparchive/fs/AnonymousFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

UniqueFd OpenAnonymousFile(int dirFd) {
    return UniqueFd(::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
}

// Linking through the descriptor itself (AT_EMPTY_PATH) needs a privilege a user lacks; the
// descriptor's entry in /proc names the file for anyone who holds it open.
int NameAnonymousFile(int fd, int dirFd, const char* name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), dirFd, name, AT_SYMLINK_FOLLOW);
}

bool AnonymousFilesWorkIn(int dirFd) {
    const UniqueFd probe = OpenAnonymousFile(dirFd);
    if (!probe.IsOpen())
        return false;
    constexpr const char* kName = "probe";
    ::unlinkat(dirFd, kName, 0);
    if (NameAnonymousFile(probe.Get(), dirFd, kName) != 0)
        return false;
    ::unlinkat(dirFd, kName, 0);
    return true;
}

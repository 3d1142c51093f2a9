#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Reads up to length bytes at offset, retrying short reads and interrupted calls, so that a
// shorter result always means the end of the file. Returns -1 with errno set on a read error.
inline ssize_t ReadUpTo(int fd, std::uint64_t offset, void* buffer, std::size_t length) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got =
            ::pread(fd, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

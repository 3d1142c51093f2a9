#include "ziparchive/read/EntryOutput.h"

#include <unistd.h>

#include <cerrno>

int FileOutput::Write(const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(m_fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return ENOSPC;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return 0;
}

int FileOutput::Restart() {
    if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0)
        return errno;
    return 0;
}

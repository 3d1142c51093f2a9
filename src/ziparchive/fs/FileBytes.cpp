#include "ziparchive/fs/FileBytes.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/fs/PositionalRead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

std::size_t ReadAt(int fd, std::uint64_t offset, unsigned char* buffer, std::size_t length) {
    const ssize_t got = ReadUpTo(fd, offset, buffer, length);
    if (got < 0)
        throw CZipException(std::string("cannot read the archive: ") + std::strerror(errno));
    return static_cast<std::size_t>(got);
}

std::vector<unsigned char> ReadBlock(int fd, std::uint64_t offset, std::size_t length) {
    std::vector<unsigned char> bytes(length);
    bytes.resize(ReadAt(fd, offset, bytes.data(), length));
    return bytes;
}

const unsigned char* WindowedReader::Bytes(std::uint64_t offset, std::size_t length) {
    if (offset > m_fileSize || length > m_fileSize - offset)
        return nullptr;
    const bool inside = offset >= m_windowStart && offset - m_windowStart <= m_window.size() &&
                        length <= m_window.size() - (offset - m_windowStart);
    if (!inside) {
        constexpr std::size_t kWindow = 256 * 1024;
        m_windowStart = offset;
        m_window.resize(std::max(kWindow, length));
        m_window.resize(ReadAt(m_fd, offset, m_window.data(), m_window.size()));
        if (m_window.size() < length)
            return nullptr;
    }
    return m_window.data() + (offset - m_windowStart);
}

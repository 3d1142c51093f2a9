#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Reads bytes at a position of an open file, for the directory parse. Failures to read throw
// CZipException; reading past the end yields fewer bytes.
std::size_t ReadAt(int fd, std::uint64_t offset, unsigned char* buffer, std::size_t length);
std::vector<unsigned char> ReadBlock(int fd, std::uint64_t offset, std::size_t length);

// Reads small records in ascending order through one cached window, so that the local headers
// of many small entries cost one read per window rather than one each.
class WindowedReader {
public:
    explicit WindowedReader(int fd, std::uint64_t fileSize) : m_fd(fd), m_fileSize(fileSize) {}

    // The bytes [offset, offset + length), or nullptr when they run past the end of the file.
    const unsigned char* Bytes(std::uint64_t offset, std::size_t length);

private:
    int m_fd;
    std::uint64_t m_fileSize;
    std::uint64_t m_windowStart = 0;
    std::vector<unsigned char> m_window;
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An entry's data as stored in the archive file (compressed, when it is), read in order straight
// from the file: the reader's threads share the file's descriptor, and none needs a libzip handle
// of its own, which would hold the whole directory again.
class EntryInput {
public:
    // The `length` bytes from `start` of the open file fd, which is borrowed.
    EntryInput(int fd, std::uint64_t start, std::uint64_t length)
        : m_fd(fd), m_start(start), m_length(length) {}

    // Reads up to `length` of the next bytes; 0 at the end of the data, -1 when the file cannot
    // be read. The file ending before the data does is a read failure too.
    std::int64_t Read(void* buffer, std::size_t length);
    // How many bytes of the data are still to be read.
    std::uint64_t Left() const { return m_length - m_done; }
    // Goes back to the start of the data.
    void Rewind() { m_done = 0; }
    // Why the last read failed.
    std::string Failure() const;

private:
    int m_fd;
    std::uint64_t m_start;
    std::uint64_t m_length;
    std::uint64_t m_done = 0;
    int m_error = 0;
};

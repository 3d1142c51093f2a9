#pragma once

#include <cstddef>
#include <string>

// Where an entry's decoded bytes go: a file being staged, memory (a link's target), or nowhere
// (a test without a destination). Write and Restart return 0 or the errno of a failure.
class EntryOutput {
public:
    virtual ~EntryOutput() = default;
    virtual int Write(const char* data, std::size_t length) = 0;
    // Drops what was written, for a decoder that starts over.
    virtual int Restart() = 0;
};

class FileOutput final : public EntryOutput {
public:
    explicit FileOutput(int fd) : m_fd(fd) {}
    int Write(const char* data, std::size_t length) override;
    int Restart() override;

private:
    int m_fd;
};

// Keeps the bytes; the decoder stops at the declared size, which the caller keeps small.
class MemoryOutput final : public EntryOutput {
public:
    int Write(const char* data, std::size_t length) override {
        m_bytes.append(data, length);
        return 0;
    }
    int Restart() override {
        m_bytes.clear();
        return 0;
    }
    const std::string& Bytes() const { return m_bytes; }

private:
    std::string m_bytes;
};

class DiscardOutput final : public EntryOutput {
public:
    int Write(const char*, std::size_t) override { return 0; }
    int Restart() override { return 0; }
};

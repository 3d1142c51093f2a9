#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// Reads an existing archive for CZipArchive: testing and extracting entries safely.
class ZipReader {
public:
    ZipReader(const QString& path, unsigned threads);
    ~ZipReader();

    std::uint64_t Count() const;
    void SetExtractionRoot(const QString& destination);
    bool Test(std::uint64_t index, std::size_t bufferSize);
    bool Extract(std::uint64_t index, const QString& destination, std::size_t bufferSize);
};

#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Writes a new archive for CZipArchive: everything is compressed and written in Commit.
class ZipWriter {
public:
    ZipWriter(const QString& path, unsigned threads);
    ~ZipWriter();

    bool SetCompressionMethod(int method);
    bool AddFile(const std::string& filePath, const std::string& entryName, int level,
                 std::size_t bufferSize);
    void SetEntryWrittenCallback(std::function<void(std::uint64_t index)> callback);
    void Commit();
};

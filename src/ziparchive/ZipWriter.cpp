#include "ziparchive/ZipWriter.h"

#include "ziparchive/CZipArchive.h"

ZipWriter::ZipWriter(const QString&, unsigned) {
    throw CZipException("writing is not built yet");
}
ZipWriter::~ZipWriter() = default;
bool ZipWriter::SetCompressionMethod(int) {
    return false;
}
bool ZipWriter::AddFile(const std::string&, const std::string&, int, std::size_t) {
    return false;
}
void ZipWriter::SetEntryWrittenCallback(std::function<void(std::uint64_t)>) {}
void ZipWriter::Commit() {}

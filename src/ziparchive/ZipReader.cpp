#include "ziparchive/ZipReader.h"

#include "ziparchive/CZipArchive.h"

ZipReader::ZipReader(const QString&, unsigned) {
    throw CZipException("reading is not built yet");
}
ZipReader::~ZipReader() = default;
std::uint64_t ZipReader::Count() const {
    return 0;
}
void ZipReader::SetExtractionRoot(const QString&) {}
bool ZipReader::Test(std::uint64_t, std::size_t) {
    return false;
}
bool ZipReader::Extract(std::uint64_t, const QString&, std::size_t) {
    return false;
}

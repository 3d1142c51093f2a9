#pragma once

#include <zip.h>

#include <memory>
#include <string>

// Owners of libzip's handles, for the reader.

// An archive handle freed without writing anything: zip_close, which writes, is always called
// explicitly, and the handle released when it succeeds.
struct ZipDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipDiscard>;

struct ZipFileClose {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipFile = std::unique_ptr<zip_file_t, ZipFileClose>;

// A libzip error record, initialised and released with its scope.
class ZipError {
public:
    ZipError() { zip_error_init(&m_error); }
    ~ZipError() { zip_error_fini(&m_error); }
    ZipError(const ZipError&) = delete;
    ZipError& operator=(const ZipError&) = delete;
    zip_error_t* Get() { return &m_error; }
    std::string Text() { return zip_error_strerror(&m_error); }

private:
    zip_error_t m_error;
};

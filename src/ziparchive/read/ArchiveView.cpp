#include "ziparchive/read/ArchiveView.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/fs/PositionalRead.h"
#include "ziparchive/read/CentralDirectory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kEndRecordSize = 22;
constexpr std::uint64_t kCommentLengthOffset = 20;

// The bytes [start, start + length) of a file, with the end record's comment length read as 0.
// libzip reads the central directory a few dozen bytes at a time; small reads are served from a
// cached window so that an archive of many entries does not cost a system call per field.
struct ViewState {
    int fd = -1;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    std::uint64_t commentLengthAt = 0; // relative to start
    std::uint64_t position = 0;
    std::vector<unsigned char> cache;
    std::uint64_t cacheStart = 0; // relative to start
    std::uint64_t dataEnd = 0;    // where the central directory begins, relative to start
    const std::atomic<std::atomic<std::uint64_t>*>* progress = nullptr;
    ZipError error;
};

constexpr std::size_t kCacheSize = 64 * 1024;
constexpr std::size_t kSmallRead = 16 * 1024;

// Reads count bytes at position (relative to the view) into bytes; false and the error set when
// the file cannot be read or ends early.
bool ReadFile(ViewState& view, unsigned char* bytes, std::uint64_t count, std::uint64_t position) {
    const ssize_t got = ReadUpTo(view.fd, view.start + position, bytes, count);
    if (got < 0) {
        zip_error_set(view.error.Get(), ZIP_ER_READ, errno);
        return false;
    }
    if (static_cast<std::uint64_t>(got) != count) {
        zip_error_set(view.error.Get(), ZIP_ER_EOF, 0);
        return false;
    }
    std::atomic<std::uint64_t>* counter = view.progress ? view.progress->load() : nullptr;
    if (counter && position < view.dataEnd)
        counter->fetch_add(std::min(count, view.dataEnd - position), std::memory_order_relaxed);
    return true;
}

bool ReadCached(ViewState& view, unsigned char* bytes, std::uint64_t count) {
    const bool cached = view.position >= view.cacheStart &&
                        view.position + count <= view.cacheStart + view.cache.size();
    if (!cached) {
        const std::uint64_t fill = std::min<std::uint64_t>(kCacheSize, view.length - view.position);
        view.cache.resize(static_cast<std::size_t>(fill));
        view.cacheStart = view.position;
        if (!ReadFile(view, view.cache.data(), fill, view.position)) {
            view.cache.clear();
            return false;
        }
    }
    std::memcpy(bytes, view.cache.data() + (view.position - view.cacheStart),
                static_cast<std::size_t>(count));
    return true;
}

zip_int64_t ReadView(ViewState& view, void* data, zip_uint64_t wanted) {
    const std::uint64_t count = std::min<std::uint64_t>(wanted, view.length - view.position);
    auto* bytes = static_cast<unsigned char*>(data);
    const bool read = count < kSmallRead ? ReadCached(view, bytes, count)
                                         : ReadFile(view, bytes, count, view.position);
    if (!read)
        return -1;
    for (std::uint64_t at = view.commentLengthAt; at < view.commentLengthAt + 2; ++at) {
        if (at >= view.position && at < view.position + count)
            bytes[at - view.position] = 0;
    }
    view.position += count;
    return static_cast<zip_int64_t>(count);
}

zip_int64_t ViewCallback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    auto& view = *static_cast<ViewState*>(state);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        view.position = 0;
        return 0;
    case ZIP_SOURCE_READ:
        return ReadView(view, data, length);
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_STAT: {
        auto* st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        st->size = view.length;
        st->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(view.error.Get(), data, length);
    case ZIP_SOURCE_FREE:
        delete &view;
        return 0;
    case ZIP_SOURCE_SEEK: {
        const zip_int64_t to = zip_source_seek_compute_offset(view.position, view.length, data,
                                                              length, view.error.Get());
        if (to < 0)
            return -1;
        view.position = static_cast<std::uint64_t>(to);
        return 0;
    }
    case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(view.position);
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(
            ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
            ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, -1);
    default:
        zip_error_set(view.error.Get(), ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

} // namespace

ZipHandle OpenArchiveView(int fd, const ArchiveLayout& layout,
                          const std::atomic<std::atomic<std::uint64_t>*>* progress) {
    auto* view = new ViewState;
    view->fd = fd;
    view->start = layout.base;
    view->length = layout.endRecord + kEndRecordSize - layout.base;
    view->commentLengthAt = layout.endRecord + kCommentLengthOffset - layout.base;
    view->dataEnd = layout.directoryStart - layout.base;
    view->progress = progress;
    ZipError error;
    zip_source_t* source = zip_source_function_create(ViewCallback, view, error.Get());
    if (!source) {
        delete view;
        throw CZipException("cannot open the archive: out of memory");
    }
    ZipHandle archive(zip_open_from_source(source, ZIP_RDONLY, error.Get()));
    if (!archive) {
        zip_source_free(source);
        throw CZipException("the archive cannot be read: " + error.Text());
    }
    return archive;
}

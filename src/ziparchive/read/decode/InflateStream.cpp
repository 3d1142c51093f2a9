#include "ziparchive/read/decode/InflateStream.h"

#include "ziparchive/read/decode/ZlibStyleStream.h"

#include <zlib.h>

namespace {

struct InflateEnd {
    void operator()(z_stream* stream) const { inflateEnd(stream); }
};

class InflateStream final : public ZlibStyleStream {
public:
    InflateStream() : ZlibStyleStream("deflated") {
        if (inflateInit2(&m_stream, -MAX_WBITS) == Z_OK)
            m_started.reset(&m_stream);
    }

    Step Decode(char* output, std::size_t capacity) override {
        if (!m_started)
            return {Outcome::NoMemory, 0, "cannot start inflating"};
        const auto [status, produced] =
            Run(m_stream, output, capacity, [](z_stream* s) { return inflate(s, Z_NO_FLUSH); });
        // Z_BUF_ERROR only says no progress was possible; the loop tells when the input ended.
        const bool sound = status == Z_OK || status == Z_BUF_ERROR;
        return {status == Z_STREAM_END ? Outcome::Ended
                : sound                ? Outcome::Going
                                       : Outcome::Damaged,
                produced};
    }

private:
    z_stream m_stream{};
    std::unique_ptr<z_stream, InflateEnd> m_started; // ends the stream once it has started
};

} // namespace

std::unique_ptr<StreamDecompressor> NewInflateStream() {
    return std::make_unique<InflateStream>();
}

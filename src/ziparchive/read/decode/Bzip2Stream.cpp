#include "ziparchive/read/decode/Bzip2Stream.h"

#include "ziparchive/bzip2/Bzip2Arena.h"
#include "ziparchive/read/decode/ZlibStyleStream.h"

#include <bzlib.h>

namespace {

struct Bzip2End {
    void operator()(bz_stream* stream) const { BZ2_bzDecompressEnd(stream); }
};

class Bzip2Stream final : public ZlibStyleStream {
public:
    explicit Bzip2Stream(Bzip2Arena& arena) : ZlibStyleStream("bzip2") {
        arena.Attach(m_stream);
        if (BZ2_bzDecompressInit(&m_stream, 0, 0) == BZ_OK)
            m_started.reset(&m_stream);
    }

    Step Decode(char* output, std::size_t capacity) override {
        if (!m_started)
            return {Outcome::NoMemory, 0, "cannot start a bzip2 stream"};
        const auto [status, produced] = Run(m_stream, output, capacity, BZ2_bzDecompress);
        return {status == BZ_STREAM_END ? Outcome::Ended
                : status == BZ_OK       ? Outcome::Going
                                        : Outcome::Damaged,
                produced};
    }

private:
    bz_stream m_stream{};
    std::unique_ptr<bz_stream, Bzip2End> m_started; // ends the stream once it has started
};

} // namespace

std::unique_ptr<StreamDecompressor> NewBzip2Stream(Bzip2Arena& arena) {
    return std::make_unique<Bzip2Stream>(arena);
}

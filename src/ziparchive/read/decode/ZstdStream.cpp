#include "ziparchive/read/decode/ZstdStream.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <memory>

namespace {

struct FreeContext {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

class ZstdStream final : public StreamDecompressor {
public:
    ZstdStream() : StreamDecompressor("Zstandard"), m_context(ZSTD_createDCtx()) {}

    Step Decode(char* output, std::size_t capacity) override {
        if (!m_context)
            return {Outcome::NoMemory, 0};
        // Frames may follow one another; the stored bytes may end only between two. Until then
        // the context is still asked for what it holds back.
        if (InputEnded() && m_betweenFrames && m_anyFrame)
            return {Outcome::Ended, 0};
        ZSTD_inBuffer in{Input().data(), Input().size(), 0};
        ZSTD_outBuffer out{output, capacity, 0};
        const std::size_t hint = ZSTD_decompressStream(m_context.get(), &out, &in);
        if (ZSTD_isError(hint))
            return Failure(ZSTD_getErrorCode(hint), out.pos);
        Consume(in.pos);
        if (in.pos > 0)
            m_betweenFrames = false;
        if (hint == 0) {
            m_betweenFrames = true;
            m_anyFrame = true;
        }
        return {Outcome::Going, out.pos};
    }

private:
    static Step Failure(ZSTD_ErrorCode error, std::size_t produced) {
        if (error == ZSTD_error_memory_allocation)
            return {Outcome::NoMemory, produced};
        if (error == ZSTD_error_frameParameter_windowTooLarge)
            return {Outcome::Damaged, produced,
                    "the data asks for more memory to decode than this reader allows"};
        return {Outcome::Damaged, produced};
    }

    std::unique_ptr<ZSTD_DCtx, FreeContext> m_context;
    bool m_betweenFrames = true; // a frame has ended, and no byte of another has come
    bool m_anyFrame = false;
};

} // namespace

std::unique_ptr<StreamDecompressor> NewZstdStream() {
    return std::make_unique<ZstdStream>();
}

#include "ziparchive/read/decode/XzStream.h"

#include "ziparchive/read/decode/LiblzmaStream.h"

#include <cstdint>

namespace {

// Several entries are decoded at once, each on its own thread. The largest dictionary the xz
// presets use is 64 MiB; a stream asking for more than this is refused rather than trusted.
constexpr std::uint64_t kMemoryLimit = 1024ull * 1024 * 1024;

class XzStream final : public LiblzmaStream {
public:
    XzStream()
        : LiblzmaStream("XZ"),
          m_started(lzma_stream_decoder(&m_stream, kMemoryLimit, LZMA_CONCATENATED)) {}

    Step Decode(char* output, std::size_t capacity) override {
        if (m_started != LZMA_OK)
            return StepAfter(m_started, 0);
        // Streams may follow one another; only the end of the stored bytes says none follows.
        return Code(output, capacity, InputEnded() ? LZMA_FINISH : LZMA_RUN);
    }

private:
    lzma_ret m_started;
};

} // namespace

std::unique_ptr<StreamDecompressor> NewXzStream() {
    return std::make_unique<XzStream>();
}

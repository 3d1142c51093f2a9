#include "ziparchive/read/decode/LzmaStream.h"

#include "ziparchive/read/decode/LiblzmaStream.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kVersionBytes = 2;
constexpr std::size_t kSizeBytes = 2;
constexpr std::size_t kPropertiesBytes = 5; // what an LZMA1 header always holds

struct FreeOptions {
    void operator()(void* options) const { std::free(options); }
};

class LzmaStream final : public LiblzmaStream {
public:
    explicit LzmaStream(std::uint64_t declaredSize)
        : LiblzmaStream("LZMA"), m_declaredSize(declaredSize) {}

    Step Decode(char* output, std::size_t capacity) override {
        if (!m_started) {
            const Step start = Start();
            if (!m_started)
                return start;
        }
        Step step = Code(output, capacity, LZMA_RUN);
        m_produced += step.produced;
        // Told the size, liblzma finds data going on past it, neither ending nor marking the end
        // there, to be damaged; the stream is sound up to there, only longer than declared.
        if (step.outcome == Outcome::Damaged && m_produced == m_declaredSize)
            step.problem = "the entry holds more data than it declares";
        return step;
    }

private:
    // Collects the header from the input; once it is whole, starts liblzma on its properties.
    // Going without a started decoder means more of the header is still to come.
    Step Start() {
        const std::size_t taken = std::min(m_header.size() - m_headerHeld, Input().size());
        std::memcpy(m_header.data() + m_headerHeld, Input().data(), taken);
        m_headerHeld += taken;
        Consume(taken);
        if (m_headerHeld < m_header.size())
            return {};
        const unsigned propertiesSize = m_header[kVersionBytes] | m_header[kVersionBytes + 1] << 8;
        if (propertiesSize != kPropertiesBytes)
            return {Outcome::Damaged, 0, "the LZMA header is damaged"};

        // The extended filter is told the size: it stops there, and takes an end marker right
        // after it as well as none.
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
        const lzma_ret decoded = lzma_properties_decode(
            &filters[0], nullptr, m_header.data() + kVersionBytes + kSizeBytes, kPropertiesBytes);
        const std::unique_ptr<void, FreeOptions> options(filters[0].options);
        if (decoded != LZMA_OK)
            return StepAfter(decoded, 0);
        auto& lzma = *static_cast<lzma_options_lzma*>(filters[0].options);
        lzma.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
        lzma_set_ext_size(lzma, m_declaredSize);
        // Matches reach back no further than the output goes, so a dictionary larger than the
        // entry is never used: the header's word is not taken for how much memory to set aside.
        lzma.dict_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            lzma.dict_size, std::max<std::uint64_t>(m_declaredSize, LZMA_DICT_SIZE_MIN)));
        const lzma_ret started = lzma_raw_decoder(&m_stream, filters);
        if (started != LZMA_OK)
            return StepAfter(started, 0);
        m_started = true;
        return {};
    }

    std::uint64_t m_declaredSize;
    std::uint64_t m_produced = 0;
    std::array<std::uint8_t, kVersionBytes + kSizeBytes + kPropertiesBytes> m_header{};
    std::size_t m_headerHeld = 0;
    bool m_started = false;
};

} // namespace

std::unique_ptr<StreamDecompressor> NewLzmaStream(std::uint64_t declaredSize) {
    return std::make_unique<LzmaStream>(declaredSize);
}

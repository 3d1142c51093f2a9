#include "ziparchive/read/decode/CheckedSink.h"

#include "ziparchive/read/EntryOutput.h"

#include <zlib.h>

#include <algorithm>

namespace {

// zlib counts in uInt; a buffer is never near that, but the loop costs nothing.
std::uint32_t UpdateCrc(std::uint32_t crc, const char* data, std::size_t length) {
    while (length > 0) {
        const auto step = static_cast<uInt>(std::min<std::size_t>(length, 1u << 30));
        crc = static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data), step));
        data += step;
        length -= step;
    }
    return crc;
}

} // namespace

bool CheckedSink::Take(const char* data, std::size_t length) {
    if (length > Room()) {
        m_failure = DecodeResult::Corrupt("the entry holds more data than it declares");
        return false;
    }
    if (length == 0)
        return true;
    m_total += length;
    if (m_declaredCrc)
        m_crc = UpdateCrc(m_crc, data, length);
    if (const int error = m_output.Write(data, length)) {
        m_failure = {DecodeStatus::WriteFailed, error, {}};
        return false;
    }
    return true;
}

DecodeResult CheckedSink::Finish() const {
    if (m_total != m_size)
        return DecodeResult::Corrupt("the entry holds less data than it declares");
    if (m_declaredCrc && m_crc != *m_declaredCrc)
        return DecodeResult::Corrupt("the entry's CRC does not match");
    return {};
}

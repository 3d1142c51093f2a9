#include "ziparchive/read/EntryInput.h"

#include "ziparchive/fs/PositionalRead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

std::int64_t EntryInput::Read(void* buffer, std::size_t length) {
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, m_length - m_done));
    if (wanted == 0)
        return 0;
    const ssize_t got = ReadUpTo(m_fd, m_start + m_done, buffer, wanted);
    if (got < 0 || got == 0) {
        m_error = got < 0 ? errno : 0;
        return -1;
    }
    m_done += static_cast<std::uint64_t>(got);
    return got;
}

std::string EntryInput::Failure() const {
    return m_error != 0 ? std::strerror(m_error) : "the archive ends inside an entry's data";
}

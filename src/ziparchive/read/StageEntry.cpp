#include "ziparchive/read/StageEntry.h"

#include "ziparchive/fs/AnonymousFile.h"
#include "ziparchive/read/EntryOutput.h"
#include "ziparchive/read/EntryPath.h"
#include "ziparchive/read/EntryPlan.h"
#include "ziparchive/read/StagingArea.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace {

StagedEntry WriteFailure(int error) {
    StagedEntry result;
    result.decode = {DecodeStatus::WriteFailed, error, {}};
    return result;
}

// Passes the decoded bytes on and counts the share of the compressed size they stand for, so a
// progress counter follows what is written.
class CountingOutput final : public EntryOutput {
public:
    CountingOutput(EntryOutput& inner, const EntryPlan& plan, const ProgressCounterSlot* progress)
        : m_inner(inner), m_plan(plan), m_progress(progress) {}
    CountingOutput(const CountingOutput&) = delete;
    CountingOutput& operator=(const CountingOutput&) = delete;

    int Write(const char* data, std::size_t length) override {
        if (const int error = m_inner.Write(data, length))
            return error;
        m_written += length;
        if (m_plan.size > 0 && m_written <= m_plan.size)
            Count(static_cast<std::uint64_t>(static_cast<unsigned __int128>(m_written) *
                                             m_plan.compressedSize / m_plan.size));
        return 0;
    }
    int Restart() override {
        m_written = 0;
        Count(0);
        return m_inner.Restart();
    }
    // The entry is sound: all of its compressed bytes are done.
    void Complete() { Count(m_plan.compressedSize); }
    // The entry failed: what was counted for it is taken back.
    void Abandon() { Count(0); }

private:
    void Count(std::uint64_t share) {
        std::atomic<std::uint64_t>* counter = m_progress ? m_progress->load() : nullptr;
        if (counter && share > m_counted)
            counter->fetch_add(share - m_counted, std::memory_order_relaxed);
        else if (counter && share < m_counted)
            counter->fetch_sub(m_counted - share, std::memory_order_relaxed);
        m_counted = share;
    }

    EntryOutput& m_inner;
    const EntryPlan& m_plan;
    const ProgressCounterSlot* m_progress;
    std::uint64_t m_written = 0;
    std::uint64_t m_counted = 0;
};

StagedEntry StageLink(zip_t* archive, std::uint64_t index, const EntryPlan& plan,
                      const StagingArea* staging, EntryDecoder& decoder,
                      const std::atomic<bool>& cancel) {
    StagedEntry result;
    if (plan.size >= PATH_MAX) {
        result.refusal = "the link's target is too long";
        return result;
    }
    MemoryOutput target;
    result.decode = decoder.Decode(archive, index, plan, target, cancel);
    if (result.decode.status != DecodeStatus::Sound)
        return result;
    if (!LinkTargetStaysInside(target.Bytes(), plan.depth - 1u)) {
        result.refusal = "the link points out of the destination";
        return result;
    }
    if (!staging)
        return result;
    const std::string name = StagingArea::TemporaryName(index);
    ::unlinkat(staging->Fd(), name.c_str(), 0);
    if (::symlinkat(target.Bytes().c_str(), staging->Fd(), name.c_str()) != 0)
        return WriteFailure(errno);
    result.staged = true;
    return result;
}

// Opens the file the entry is staged in: without a name where the staging folder allows, else
// under the entry's temporary name.
UniqueFd OpenStagedFile(std::uint64_t index, const StagingArea& staging) {
    if (staging.AnonymousFiles())
        return OpenAnonymousFile(staging.Fd());
    const std::string name = StagingArea::TemporaryName(index);
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::openat(staging.Fd(), name.c_str(), kFlags, 0600));
    if (!fd.IsOpen() && errno == EEXIST) {
        // Left by an earlier test of the same entry.
        ::unlinkat(staging.Fd(), name.c_str(), 0);
        fd = UniqueFd(::openat(staging.Fd(), name.c_str(), kFlags, 0600));
    }
    return fd;
}

StagedEntry StageFile(zip_t* archive, std::uint64_t index, const EntryPlan& plan,
                      const StagingArea& staging, EntryDecoder& decoder,
                      const std::atomic<bool>& cancel, const ProgressCounterSlot* progress) {
    UniqueFd fd = OpenStagedFile(index, staging);
    if (!fd.IsOpen())
        return WriteFailure(errno);
    StagedEntry result;
    FileOutput file(fd.Get());
    CountingOutput output(file, plan, progress);
    result.decode = decoder.Decode(archive, index, plan, output, cancel);
    if (result.decode.status == DecodeStatus::Sound) {
        const timespec times[2] = {plan.mtime, plan.mtime};
        if (::fchmod(fd.Get(), plan.permissions) != 0 || ::futimens(fd.Get(), times) != 0)
            result = WriteFailure(errno);
    }
    if (staging.AnonymousFiles()) {
        // It is closed once it has its name; until then, dropping it is all it takes.
        if (result.decode.status == DecodeStatus::Sound)
            result.file = std::move(fd);
    } else if (::close(fd.Release()) != 0 && result.decode.status == DecodeStatus::Sound) {
        // A write error can surface only at close, on some file systems.
        result = WriteFailure(errno);
    }
    if (result.decode.status != DecodeStatus::Sound) {
        output.Abandon();
        if (!staging.AnonymousFiles())
            staging.RemoveTemporary(index);
        return result;
    }
    output.Complete();
    result.staged = true;
    return result;
}

} // namespace

StagedEntry StageEntry(zip_t* archive, std::uint64_t index, const EntryPlan& plan,
                       const StagingArea* staging, EntryDecoder& decoder,
                       const std::atomic<bool>& cancel, const ProgressCounterSlot* progress) {
    if (plan.refusal != 0)
        return {};
    if (plan.kind == EntryKind::Link)
        return StageLink(archive, index, plan, staging, decoder, cancel);
    if (plan.kind == EntryKind::Directory || !staging) {
        StagedEntry result;
        DiscardOutput nowhere;
        CountingOutput output(nowhere, plan, progress);
        result.decode = decoder.Decode(archive, index, plan, output, cancel);
        if (result.decode.status == DecodeStatus::Sound)
            output.Complete();
        else
            output.Abandon();
        return result;
    }
    return StageFile(archive, index, plan, *staging, decoder, cancel, progress);
}

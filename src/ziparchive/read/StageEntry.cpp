#include "ziparchive/read/StageEntry.h"

#include "ziparchive/fs/UniqueFd.h"
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

StagedEntry StageLink(zip_t* archive, std::uint64_t index, const EntryPlan& plan, int stagingFd,
                      EntryDecoder& decoder, const std::atomic<bool>& cancel) {
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
    if (stagingFd < 0)
        return result;
    const std::string name = StagingArea::TemporaryName(index);
    ::unlinkat(stagingFd, name.c_str(), 0);
    if (::symlinkat(target.Bytes().c_str(), stagingFd, name.c_str()) != 0)
        return WriteFailure(errno);
    result.staged = true;
    return result;
}

StagedEntry StageFile(zip_t* archive, std::uint64_t index, const EntryPlan& plan, int stagingFd,
                      EntryDecoder& decoder, const std::atomic<bool>& cancel) {
    const std::string name = StagingArea::TemporaryName(index);
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::openat(stagingFd, name.c_str(), kFlags, 0600));
    if (!fd.IsOpen() && errno == EEXIST) {
        // Left by an earlier test of the same entry.
        ::unlinkat(stagingFd, name.c_str(), 0);
        fd = UniqueFd(::openat(stagingFd, name.c_str(), kFlags, 0600));
    }
    if (!fd.IsOpen())
        return WriteFailure(errno);
    StagedEntry result;
    FileOutput output(fd.Get());
    result.decode = decoder.Decode(archive, index, plan, output, cancel);
    if (result.decode.status == DecodeStatus::Sound) {
        const timespec times[2] = {plan.mtime, plan.mtime};
        if (::fchmod(fd.Get(), plan.permissions) != 0 || ::futimens(fd.Get(), times) != 0)
            result = WriteFailure(errno);
    }
    // A write error can surface only at close, on some file systems.
    if (::close(fd.Release()) != 0 && result.decode.status == DecodeStatus::Sound)
        result = WriteFailure(errno);
    if (result.decode.status != DecodeStatus::Sound) {
        ::unlinkat(stagingFd, name.c_str(), 0);
        return result;
    }
    result.staged = true;
    return result;
}

} // namespace

StagedEntry StageEntry(zip_t* archive, std::uint64_t index, const EntryPlan& plan, int stagingFd,
                       EntryDecoder& decoder, const std::atomic<bool>& cancel) {
    if (plan.refusal != 0 || plan.encrypted)
        return {};
    if (plan.kind == EntryKind::Link)
        return StageLink(archive, index, plan, stagingFd, decoder, cancel);
    if (plan.kind == EntryKind::Directory || stagingFd < 0) {
        StagedEntry result;
        DiscardOutput nowhere;
        result.decode = decoder.Decode(archive, index, plan, nowhere, cancel);
        return result;
    }
    return StageFile(archive, index, plan, stagingFd, decoder, cancel);
}

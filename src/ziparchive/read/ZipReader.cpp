#include "ziparchive/read/ZipReader.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/bzip2/BlockwiseBzip2.h"
#include "ziparchive/fs/AnonymousFile.h"
#include "ziparchive/fs/ToNarrow.h"
#include "ziparchive/read/DecodePool.h"
#include "ziparchive/read/DestinationTree.h"
#include "ziparchive/read/ExtractionRoot.h"
#include "ziparchive/read/MethodName.h"
#include "ziparchive/read/PasswordCheck.h"
#include "ziparchive/read/StageEntry.h"
#include "ziparchive/read/StagingArea.h"

#include <QDir>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Whether the entry can take its place given what stands there now without replacing anything:
// a directory entry where nothing or a directory stands, anything else where nothing does.
bool FitsWhatStands(EntryKind kind, DestinationTree::Standing standing) {
    using Standing = DestinationTree::Standing;
    if (kind == EntryKind::Directory)
        return standing == Standing::Absent || standing == Standing::Directory;
    return standing == Standing::Absent;
}

// Moves `from` to `to` unless something stands at `to`, which is never replaced; EEXIST then.
// Where the file system cannot rename that way, a hard link and the removal of the old name do
// the same.
int RenameWithoutReplacing(int fromFd, const char* from, int toFd, const char* to) {
    if (::renameat2(fromFd, from, toFd, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    if (::linkat(fromFd, from, toFd, to, 0) == 0) {
        ::unlinkat(fromFd, from, 0);
        return 0;
    }
    if (errno != EPERM && errno != EOPNOTSUPP)
        return -1;
    // Nor hard links: look first; only a file made in between could then be replaced.
    struct stat info {};
    if (::fstatat(toFd, to, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(fromFd, from, toFd, to);
}

const std::atomic<bool> kNeverCancelled{false};

} // namespace

ZipReader::ZipReader(const QString& path, unsigned threads)
    : m_budget(ThreadCountFor(threads)), m_team(std::make_unique<Bzip2SplitTeam>()) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer for ever; a device or a socket is
    // refused before anything is read from it.
    const std::string narrow = ToNarrow(path);
    m_file = UniqueFd(::open(narrow.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!m_file.IsOpen())
        throw CZipException("cannot open " + narrow + ": " + std::strerror(errno));
    struct stat info {};
    if (::fstat(m_file.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        throw CZipException("cannot open " + narrow + ": it is not a regular file");
    try {
        m_layout = ReadArchiveLayout(m_file.Get());
    } catch (const CZipException& failure) {
        throw CZipException(narrow + ": " + failure.what());
    }
    // The plans carry everything needed from here on; the layout keeps no entries.
    m_plans = PlanEntries(m_file.Get(), m_layout);
    // Progress counts each entry's compressed bytes as its decoded bytes are written.
    const std::uint64_t dataSpan = m_layout.directoryStart - m_layout.base;
    for (std::size_t i = 0; i < m_plans.size() && m_dataSize < dataSpan; ++i)
        m_dataSize += std::min(m_plans[i].compressedSize, dataSpan - m_dataSize);
    m_decoder = std::make_unique<EntryDecoder>(m_file.Get(), m_budget, m_team.get());
}

ZipReader::~ZipReader() {
    Release();
}

void ZipReader::Release() {
    m_pool.reset();
    try {
        if (m_stopped)
            TakeBack();
        else
            ApplyDirectoryAttributes();
    } catch (const std::exception&) {
        // Modes and times of folders are not worth failing a teardown for.
    }
    m_tree.reset();
    m_staging.reset();
    if (m_stopped && m_root)
        m_root->TakeBack();
    m_root.reset();
}

void ZipReader::SetStopFlag(const std::atomic<bool>* stop) {
    m_stop = stop;
    if (m_pool)
        m_pool->SetStopFlag(stop);
}

void ZipReader::ThrowIfStopped() {
    if (m_stopped || (m_stop && m_stop->load())) {
        m_stopped = true;
        throw CZipStopped("the extraction was stopped");
    }
}

std::uint64_t ZipReader::Count() const {
    return m_plans.size();
}

std::string ZipReader::EntryLabel(std::uint64_t index) const {
    std::string label = "entry " + std::to_string(index + 1);
    if (index >= m_plans.size() || m_plans[index].depth == 0)
        return label;
    return label + " (" + std::string(m_plans.Path(m_plans[index])) + ")";
}

void ZipReader::SetProgressCounter(std::atomic<std::uint64_t>* counter) {
    m_progress = counter;
}

void ZipReader::SetExtractionRoot(const QString& destination) {
    const QString clean = QDir::cleanPath(destination);
    if (m_root) {
        if (clean != m_destination)
            throw CZipException("the archive is already being extracted elsewhere");
        return;
    }
    m_root = std::make_unique<ExtractionRoot>(ToNarrow(clean), m_plans);
    m_destination = clean;
    m_staging = std::make_unique<StagingArea>(m_root->Fd());
    m_tree = std::make_unique<DestinationTree>(m_root->Fd());
    m_admitted.reset();
    // Folders that stand already are the user's: they take entries, but keep their modes.
    for (std::uint64_t i = 0; i < m_plans.size(); ++i) {
        const EntryPlan& plan = m_plans[i];
        if (plan.kind == EntryKind::Directory && plan.refusal == 0 && plan.depth != 0 &&
            m_tree->Inspect(m_plans.Path(plan)) == DestinationTree::Standing::Directory)
            m_foldersStanding.insert(i);
    }
    if (m_plans.empty())
        return;
    const auto workers =
        static_cast<unsigned>(std::min<std::uint64_t>(m_budget.Total(), m_plans.size()));
    m_pool = std::make_unique<DecodePool>(workers, m_file.Get(), m_plans, *m_staging,
                                          DecodePool::Window{kWindowEntries, kWindowBytes},
                                          m_budget, *m_team);
    m_pool->SetStopFlag(m_stop);
    m_pool->SetProgressCounter(&m_progress);
}

bool ZipReader::Test(std::uint64_t index) {
    ThrowIfStopped();
    if (index >= m_plans.size())
        throw CZipException("the archive has no entry " + std::to_string(index));
    if (m_admitted) {
        if (*m_admitted == index)
            return true;
        DiscardStaged(*m_admitted);
    }
    m_lastTestFailure.clear();
    const EntryPlan& plan = m_plans[index];
    if (plan.refusal != 0)
        return Refuse(index, m_plans.Refusal(plan));
    if (plan.encrypted && !m_passwordSet)
        throw CZipException(EntryLabel(index) +
                            " is encrypted: a password is needed, and none was given");
    StagedEntry staged = Decode(index);
    return Admit(index, staged);
}

bool ZipReader::FitsInto(const QString& destination) {
    const std::string path = ToNarrow(QDir::cleanPath(destination));
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return true;
        throw CZipException("cannot inspect the folder " + path + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(info.st_mode))
        return false;
    const UniqueFd root(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root.IsOpen())
        throw CZipException("cannot open the folder " + path + ": " + std::strerror(errno));
    DestinationTree tree(root.Get());
    for (std::size_t i = 0; i < m_plans.size(); ++i) {
        const EntryPlan& plan = m_plans[i];
        const std::string_view path = m_plans.Path(plan);
        if (plan.refusal == 0 && plan.depth != 0 &&
            !(tree.ParentsUsable(ParentOf(path)) && FitsWhatStands(plan.kind, tree.Inspect(path))))
            return false;
    }
    return true;
}

std::optional<std::uint64_t> ZipReader::FirstEncrypted() const {
    for (std::uint64_t i = 0; i < m_plans.size(); ++i)
        if (m_plans[i].encrypted && m_plans[i].refusal == 0)
            return i;
    return std::nullopt;
}

bool ZipReader::SetPassword(const char* password) {
    if (m_root)
        throw CZipException("the password comes before the destination");
    if (!m_archive)
        m_archive = OpenArchiveView(m_file.Get(), m_layout);
    if (zip_set_default_password(m_archive.get(), password) != 0)
        throw CZipException(std::string("cannot take the password: ") +
                            zip_strerror(m_archive.get()));
    m_passwordSet =
        PasswordOpens(m_archive.get(), m_plans, *m_decoder, m_stop ? *m_stop : kNeverCancelled);
    ThrowIfStopped();
    if (!m_passwordSet)
        zip_set_default_password(m_archive.get(), nullptr);
    return m_passwordSet;
}

void ZipReader::ThrowWriteFailure(std::uint64_t index, int error) const {
    throw CZipException((error == ENOSPC || error == EDQUOT ? "the disk is full: " : "") +
                        std::string("cannot write ") + EntryLabel(index) + " into " +
                        ToNarrow(m_destination) + ": " + std::strerror(error));
}

bool ZipReader::Refuse(std::uint64_t index, const std::string& why) {
    m_lastTestFailure = EntryLabel(index) + ": " + why;
    return false;
}

StagedEntry ZipReader::Decode(std::uint64_t index) {
    if (m_pool) {
        if (std::optional<StagedEntry> staged = m_pool->Take(index))
            return std::move(*staged);
    }
    const EntryPlan& plan = m_plans[index];
    return StageEntry(LibzipFor(plan), index, plan, m_staging.get(), *m_decoder,
                      m_stop ? *m_stop : kNeverCancelled, &m_progress);
}

zip_t* ZipReader::LibzipFor(const EntryPlan& plan) {
    if (!EntryDecoder::NeedsLibzip(plan))
        return nullptr;
    if (!m_archive)
        m_archive = OpenArchiveView(m_file.Get(), m_layout);
    return m_archive.get();
}

bool ZipReader::Admit(std::uint64_t index, StagedEntry& staged) {
    const DecodeResult& decode = staged.decode;
    switch (decode.status) {
    case DecodeStatus::Sound:
        break;
    case DecodeStatus::Corrupt:
        // The password passed its check on another entry, yet a wrong one can pass that check
        // by chance: it then reads as damage.
        if (m_plans[index].encrypted)
            return Refuse(index, decode.detail + " (or the password is wrong)");
        return Refuse(index, decode.detail);
    case DecodeStatus::Unsupported:
        m_lastTestFailure = EntryLabel(index) + " uses " + MethodName(m_plans[index].method) +
                            ", which this build cannot read";
        return false;
    case DecodeStatus::ReadFailed:
        throw CZipException("cannot read the archive at " + EntryLabel(index) + ": " +
                            decode.detail);
    case DecodeStatus::WriteFailed:
        ThrowWriteFailure(index, decode.error);
    case DecodeStatus::Cancelled:
        ThrowIfStopped();
        throw CZipException("the extraction was cancelled");
    }
    if (!staged.refusal.empty())
        return Refuse(index, staged.refusal);
    const EntryPlan& plan = m_plans[index];
    const std::string_view path = m_plans.Path(plan);
    if (m_tree && plan.depth != 0) {
        const bool parentsUsable = m_tree->ParentsUsable(ParentOf(path));
        const auto standing =
            parentsUsable ? m_tree->Inspect(path) : DestinationTree::Standing::Other;
        if (!parentsUsable || !FitsWhatStands(plan.kind, standing)) {
            // A file staged without a name goes with `staged`; one staged by name is removed.
            if (staged.staged && !staged.file.IsOpen())
                m_staging->RemoveTemporary(index);
            const std::string at = ToNarrow(m_destination) + "/" + std::string(path);
            if (!parentsUsable)
                return Refuse(index, "a file is in the way on the path to " + at);
            return Refuse(
                index, (standing == DestinationTree::Standing::Directory ? "a folder" : "a file") +
                           std::string(" is in the way at ") + at);
        }
    }
    m_admitted = index;
    m_admittedStaged = staged.staged;
    m_admittedFile = std::move(staged.file);
    return true;
}

void ZipReader::Extract(std::uint64_t index) {
    if (!m_root)
        throw CZipException("no destination is set for the extraction");
    if (index >= m_plans.size())
        throw CZipException("the archive has no entry " + std::to_string(index));
    const bool needsStaging = m_plans[index].kind != EntryKind::Directory;
    if (!(m_admitted == index && (m_admittedStaged || !needsStaging))) {
        m_admitted.reset();
        if (!Test(index))
            throw CZipException("the entry failed its test and is not extracted");
    }
    m_admitted.reset();
    // A folder entry for the destination itself has nothing to put in place.
    if (m_plans[index].depth == 0)
        return;
    ThrowIfStopped();
    Commit(index);
    m_root->MarkUsed();
}

void ZipReader::Commit(std::uint64_t index) {
    const EntryPlan& plan = m_plans[index];
    const std::string_view path = m_plans.Path(plan);
    NoteCreatedParents(ParentOf(path));
    const int parentFd = m_tree->OpenParents(ParentOf(path));
    const std::string leaf(LeafOf(path));
    if (plan.kind == EntryKind::Directory) {
        if (::mkdirat(parentFd, leaf.c_str(), 0777) == 0)
            m_createdFolders.emplace_back(path);
        else if (errno != EEXIST)
            throw CZipException("cannot create the folder " + leaf + ": " + std::strerror(errno));
        if (!m_foldersStanding.count(index))
            m_directories.push_back(index);
        return;
    }
    const std::string temporary = StagingArea::TemporaryName(index);
    const int moved =
        m_admittedFile.IsOpen()
            ? NameAnonymousFile(m_admittedFile.Get(), parentFd, leaf.c_str())
            : RenameWithoutReplacing(m_staging->Fd(), temporary.c_str(), parentFd, leaf.c_str());
    if (moved != 0) {
        const int error = errno;
        DiscardStaged(index);
        throw CZipException("cannot put " + leaf + " in place: " + std::strerror(error));
    }
    // Nothing was replaced: what stands there now is this run's to take back.
    m_placed.push_back(index);
    // A write error can surface only at close, on some file systems; the file then goes again.
    if (m_admittedFile.IsOpen() && ::close(m_admittedFile.Release()) != 0) {
        const int error = errno;
        ::unlinkat(parentFd, leaf.c_str(), 0);
        m_placed.pop_back();
        ThrowWriteFailure(index, error);
    }
}

// The folders on the way that are missing now are the ones OpenParents is about to create.
void ZipReader::NoteCreatedParents(std::string_view parents) {
    std::vector<std::string_view> missing;
    for (std::string_view folder = parents; !folder.empty() && m_tree->OpenExisting(folder) < 0;
         folder = ParentOf(folder))
        missing.push_back(folder);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        m_createdFolders.emplace_back(*it);
}

// Newest first, then the folders deepest first, so each is empty by the time it is removed; a
// folder something else was put into meanwhile stays. Nothing is followed through a link.
void ZipReader::TakeBack() {
    m_directories.clear();
    if (!m_tree)
        return;
    const auto removeAt = [&](std::string_view path, int flags) {
        const int parentFd = m_tree->OpenExisting(ParentOf(path));
        if (parentFd >= 0)
            ::unlinkat(parentFd, std::string(LeafOf(path)).c_str(), flags);
    };
    for (auto it = m_placed.rbegin(); it != m_placed.rend(); ++it)
        removeAt(m_plans.Path(m_plans[*it]), 0);
    const auto depth = [](const std::string& path) {
        return std::count(path.begin(), path.end(), '/');
    };
    std::stable_sort(m_createdFolders.begin(), m_createdFolders.end(),
                     [&](const auto& a, const auto& b) { return depth(a) > depth(b); });
    for (const std::string& folder : m_createdFolders)
        removeAt(folder, AT_REMOVEDIR);
    m_placed.clear();
    m_createdFolders.clear();
}

void ZipReader::DiscardStaged(std::uint64_t index) {
    if (m_admittedFile.IsOpen())
        m_admittedFile.Reset();
    else if (m_staging)
        m_staging->RemoveTemporary(index);
}

// Folders get their modes and times last: a read-only folder must still take the entries
// below it, and every entry put in a folder changes its time. Deepest first, so no folder is
// closed to its owner before the folders below it are done.
void ZipReader::ApplyDirectoryAttributes() {
    if (!m_tree)
        return;
    std::stable_sort(
        m_directories.begin(), m_directories.end(),
        [this](std::uint64_t a, std::uint64_t b) { return m_plans[a].depth > m_plans[b].depth; });
    for (const std::uint64_t index : m_directories) {
        const EntryPlan& directory = m_plans[index];
        const int fd = m_tree->OpenExisting(m_plans.Path(directory));
        if (fd < 0)
            continue;
        const timespec times[2] = {directory.mtime, directory.mtime};
        ::fchmod(fd, directory.permissions);
        ::futimens(fd, times);
    }
    m_directories.clear();
}

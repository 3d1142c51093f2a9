#pragma once

#include "ziparchive/ThreadBudget.h"
#include "ziparchive/fs/UniqueFd.h"
#include "ziparchive/read/ArchiveView.h"
#include "ziparchive/read/CentralDirectory.h"
#include "ziparchive/read/EntryDecoder.h"
#include "ziparchive/read/EntryPlan.h"

#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

class Bzip2SplitTeam;
class DecodePool;
class DestinationTree;
class ExtractionRoot;
class StagingArea;
struct StagedEntry;

// Reads an existing archive for CZipArchive: testing and extracting entries safely.
//
// Open parses the directory itself as well as through libzip, so that overlapping entries, an
// absurd entry count or a directory two readers see differently refuse the archive at once.
// Setting the destination checks the blocks and inodes the entries take against its free space,
// creates it, and starts decoding ahead on a pool of workers into a staging folder there. Test
// takes an entry's decoded, checked data and checks its path against the destination as it stands;
// Extract renames it into place. Nothing that stands in the destination is ever replaced or
// written through: an entry whose place is taken fails its test. Results are taken strictly in
// order, so what ends up on disk is what a one-entry-at-a-time reader would leave.
class ZipReader {
public:
    ZipReader(const QString& path, unsigned threads);
    // Stops the workers, gives extracted directories their modes and times, and removes
    // everything not handed over: the staging folder, and the destination when it was created
    // here and nothing was extracted. After a stop, what this run extracted and the folders it
    // created go too.
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    // Once the flag is up, Test and Extract throw CZipStopped and the run is taken back.
    void SetStopFlag(const std::atomic<bool>* stop);

    std::uint64_t Count() const;
    // The entry as reports name it: "entry 3 (docs/a.txt)", counting from 1.
    std::string EntryLabel(std::uint64_t index) const;
    // Where the decoders count each entry's compressed bytes, in step with its decoded bytes
    // written (not as read: the decoders read ahead); set it before the destination. DataSize is
    // what the count comes to once every entry was extracted.
    void SetProgressCounter(std::atomic<std::uint64_t>* counter);
    std::uint64_t DataSize() const { return m_dataSize; }
    bool FitsInto(const QString& destination);
    // The first encrypted entry that would be extracted, if any.
    std::optional<std::uint64_t> FirstEncrypted() const;
    // Sets the password of the encrypted entries if it opens them (PasswordOpens), before the
    // destination is set; false, and no password kept, when it does not.
    bool SetPassword(const char* password);
    void SetExtractionRoot(const QString& destination);
    bool Test(std::uint64_t index);
    // Why the last Test returned false, naming the entry; empty after one that passed.
    const std::string& LastTestFailure() const { return m_lastTestFailure; }
    // Puts the entry in place under the extraction root, which must be set.
    void Extract(std::uint64_t index);

private:
    // How far the workers may decode ahead of the caller: enough entries to keep them busy on
    // small files, and few enough bytes that staged data never takes much disk or page cache.
    static constexpr std::uint64_t kWindowEntries = 64;
    static constexpr std::uint64_t kWindowBytes = 64ull * 1024 * 1024;

    StagedEntry Decode(std::uint64_t index);
    zip_t* LibzipFor(const EntryPlan& plan);
    bool Admit(std::uint64_t index, StagedEntry& staged);
    bool Refuse(std::uint64_t index, const std::string& why);
    [[noreturn]] void ThrowWriteFailure(std::uint64_t index, int error) const;
    void Commit(std::uint64_t index);
    void DiscardStaged(std::uint64_t index);
    void ApplyDirectoryAttributes();
    void ThrowIfStopped();
    void NoteCreatedParents(std::string_view parents);
    void TakeBack();
    void Release();

    UniqueFd m_file;
    std::atomic<std::atomic<std::uint64_t>*> m_progress{nullptr};
    std::uint64_t m_dataSize = 0;
    std::string m_lastTestFailure;
    ArchiveLayout m_layout;
    // Opened again only for an entry that needs it: it holds the whole directory. It keeps the
    // password, which goes with it.
    ZipHandle m_archive;
    bool m_passwordSet = false;
    EntryPlans m_plans;
    ThreadBudget m_budget;
    std::unique_ptr<Bzip2SplitTeam> m_team;
    std::unique_ptr<EntryDecoder> m_decoder; // for entries decoded on the caller's thread

    QString m_destination;
    std::unique_ptr<ExtractionRoot> m_root;
    std::unique_ptr<StagingArea> m_staging;
    std::unique_ptr<DestinationTree> m_tree;
    std::unique_ptr<DecodePool> m_pool;
    std::optional<std::uint64_t> m_admitted; // tested, staged and waiting for Extract
    bool m_admittedStaged = false;
    UniqueFd m_admittedFile;                  // the admitted file when it is staged without a name
    std::vector<std::uint64_t> m_directories; // extracted folder entries
    std::unordered_set<std::uint64_t> m_foldersStanding; // folder entries already on disk

    const std::atomic<bool>* m_stop = nullptr;
    bool m_stopped = false; // a stop ended the run: it is taken back
    // The entries this run put in place and the folders it created, for a stop to take back.
    std::vector<std::uint64_t> m_placed;
    std::vector<std::string> m_createdFolders; // paths below the destination
};

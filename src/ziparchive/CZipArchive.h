#pragma once

#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ziparchive/CZipException.h"

class ZipReader;
class ZipWriter;

// A zip archive, opened either to read an existing one or to create a new one.
class CZipArchive {
public:
    enum OpenMode { zipOpen = 1, zipCreate = 4 };
    enum CompressionMethod { methodStore = 0, methodDeflate = 8, methodBzip2 = 12 };

    CZipArchive();
    // An archive still open is discarded: a new archive is not written, an extraction's staged
    // temporaries are removed.
    ~CZipArchive();
    CZipArchive(const CZipArchive&) = delete;
    CZipArchive& operator=(const CZipArchive&) = delete;

    // zipOpen reads an existing archive and checks its directory; zipCreate prepares a new
    // archive at path, which appears there only when Close succeeds. Only unsplit archives.
    void Open(const QString& path, int mode = zipOpen, std::int64_t volumeSize = 0);

    // Worker threads used to decompress or compress; 0 means one per core this process may run
    // on. The bytes written never depend on it.
    void SetThreadCount(unsigned threads);

    // A flag another thread (or a signal handler) may raise to stop the work. Once it is up,
    // reading and writing throw CZipStopped, and the archive undoes this run as it goes: a new
    // archive is not written, and an extraction takes back what it staged, put in place or
    // created, the destination folder included. The flag must outlive the archive.
    void SetStopFlag(const std::atomic<bool>* stop);
    // Counts into counter the bytes of the work as it is done: reading, the archive's bytes of
    // entry data as the decoders read them; writing, the files' bytes as the archive takes them
    // in Close. Set it before SetExtractionRoot or Close; it must outlive the archive.
    void SetProgressCounter(std::atomic<std::uint64_t>* counter);
    // What the counter comes to once all the work is done.
    std::uint64_t GetProgressTotal() const;

    // ---- Reading ----

    std::uint64_t GetCount() const;
    // The entry as reports name it: "entry 3 (docs/a.txt)", counting from 1.
    std::string GetEntryLabel(std::uint64_t index) const;

    // Whether every entry can go below destination without replacing or writing through
    // anything that stands there now: true when nothing stands there, false when it is not a
    // folder (a link to one included), or when a file, a link or anything but a folder stands
    // where an entry would go (a folder where the archive has a folder is merged into). Entries
    // that would be refused anyway are not counted. Throws when the folder cannot be looked into.
    bool FitsInto(const QString& destination) const;

    // The first encrypted entry that would be extracted, if any: the archive needs a password.
    std::optional<std::uint64_t> GetFirstEncrypted() const;
    // Gives the encrypted entries their password, if it opens them: it is checked on one of them
    // before anything is written, decoded in full when small. False, and no password kept, when
    // it is wrong. Set it before the extraction root. libzip keeps its own copy while the archive
    // is open.
    bool SetPassword(const char* password);

    // The directory the entries go to. Refuses, by throwing, an archive whose declared sizes do
    // not fit in the free space there. Once it is set, TestFile stages each entry's data in the
    // destination so that ExtractFile only has to put it in place.
    void SetExtractionRoot(const QString& destination);

    // Decompresses the entry in full, checking its size and CRC, and checks that its name and
    // link target keep it inside the destination. False when the entry fails; throws for an
    // encrypted entry without a password and for failures to read or write.
    bool TestFile(std::uint64_t index, std::size_t bufferSize = 65536);
    // Why the last TestFile returned false: the entry, and a CRC mismatch, a method this build
    // cannot read, a name or link that would leave the destination, or what is in the way.
    std::string LastTestFailure() const;

    // Puts the tested entry in place below destination under its stored path, with missing
    // directories created and its mode and modification time restored. Throws on failure.
    bool ExtractFile(std::uint64_t index, const QString& destination, bool fullPath = true,
                     const QString* newName = nullptr, std::size_t bufferSize = 65536);

    // ---- Writing ----

    bool SetCompressionMethod(int method);

    // Records the file at filePath to be stored as entryName; it is read and compressed in
    // Close. Both are narrow: the exact bytes of the file system's name, and the entry name
    // with '/' separators (UTF-8 names get the UTF-8 flag, other bytes are stored as they are).
    bool AddNewFile(const std::string& filePath, const std::string& entryName, int level = -1,
                    std::size_t bufferSize = 65536);

    // Called on the closing thread each time an entry's data has been compressed and written,
    // with the entry's index in the order the files were added.
    void SetEntryWrittenCallback(std::function<void(std::uint64_t index)> callback);

    // Reading: releases the archive and whatever was staged. Writing: compresses and writes all
    // entries, then puts the archive in place; on failure it throws and an earlier file of that
    // name stays as it was.
    QString Close(int afterException = 0, bool updateTimeStamp = false);

    // After a new archive was written: the files whose size changed while they were read
    // (stored as read), and the path of the first of them.
    std::uint64_t GetChangedFileCount() const { return m_changedFiles; }
    const std::string& GetFirstChangedFile() const { return m_firstChanged; }

private:
    std::unique_ptr<ZipReader> m_reader;
    std::unique_ptr<ZipWriter> m_writer;
    unsigned m_threads = 0;
    const std::atomic<bool>* m_stop = nullptr;
    std::uint64_t m_changedFiles = 0;
    std::string m_firstChanged;
};

// The writer's compact list of files: every file comes back exactly as it was added, whatever
// its path and entry name share.

#include "ziparchive/write/FileList.h"

#include <QTest>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

struct Added {
    std::string path;
    std::string entryName;
    mode_t mode = 0644;
    std::time_t modified = 1700000000;
    bool throughLink = false;
};

} // namespace

Q_DECLARE_METATYPE(std::vector<Added>)

class TestFileList : public QObject {
    Q_OBJECT

private slots:
    void givesBackWhatWasAdded_data() {
        QTest::addColumn<std::vector<Added>>("files");
        QTest::newRow("the files of two folders")
            << std::vector<Added>{{"/home/u/photos/a/1.jpg", "a/1.jpg"},
                                  {"/home/u/photos/a/2.jpg", "a/2.jpg"},
                                  {"/home/u/photos/b/3.jpg", "b/3.jpg"}};
        QTest::newRow("files before and after a subfolder") << std::vector<Added>{
            {"/r/a/1", "a/1"}, {"/r/a/b/2", "a/b/2"}, {"/r/a/3", "a/3"}, {"/r/a/b/4", "a/b/4"}};
        QTest::newRow("a bare name") << std::vector<Added>{{"/tmp/report.txt", "report.txt"}};
        QTest::newRow("a path that is its own name")
            << std::vector<Added>{{"notes.txt", "notes.txt"}, {"docs/a.txt", "docs/a.txt"}};
        QTest::newRow("names that are not the end of their paths")
            << std::vector<Added>{{"/r/data.bin", "stored/other.bin"},
                                  {"/r/x", "stored/x"},
                                  {"/r/y", "z"},
                                  {"/r/w/v", "v/w"}};
        QTest::newRow("a path ending with the name inside a component")
            << std::vector<Added>{{"/r/xfile", "dir/file"}, {"/r/yfile", "dir/file2"}};
        QTest::newRow("the same folder under two names")
            << std::vector<Added>{{"/r/a/f", "a/f"}, {"/r/a/f", "link/f"}, {"/r/a/g", "a/g"}};
        QTest::newRow("bytes that are not UTF-8") << std::vector<Added>{
            {"/r/\xff\xfe/\x80", "\xff\xfe/\x80"}, {"/r/\xe9t\xe9", "\xe9t\xe9"}};
        QTest::newRow("modes, times and links")
            << std::vector<Added>{{"/r/a", "a", 07777, -1, true},
                                  {"/r/b", "b", 0, 0, false},
                                  {"/r/c", "c", 0755, std::time_t{1} << 40, true},
                                  {"/r/d", "d", 0600, -(std::time_t{1} << 40), false}};
    }
    void givesBackWhatWasAdded() {
        QFETCH(std::vector<Added>, files);
        FileList list;
        for (const Added& file : files)
            list.Add(file.path, file.entryName, S_IFREG | file.mode, file.modified,
                     file.throughLink);
        QCOMPARE(list.size(), files.size());
        for (std::size_t i = files.size(); i-- > 0;) {
            const FileToPack file = list[i];
            const QByteArray at = "file " + QByteArray::number(qulonglong(i));
            QVERIFY2(file.path == files[i].path, at + ": " + file.Path());
            QVERIFY2(file.entryName == files[i].entryName, at + ": " + file.EntryName());
            QCOMPARE(file.mode, files[i].mode);
            QCOMPARE(file.modified, files[i].modified);
            QCOMPARE(file.throughLink, files[i].throughLink);
        }
    }
};

QTEST_GUILESS_MAIN(TestFileList)
#include "tst_filelist.moc"

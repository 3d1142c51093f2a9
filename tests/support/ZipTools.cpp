#include "support/ZipTools.h"

#include "support/TestTree.h"

#include <QDir>
#include <QJsonDocument>
#include <QMap>

namespace ZipTools {

namespace {

// Python's zipfile only unpacks; the modes are put back here from the external attributes,
// as the other readers do, so that the trees compare alike.
const char PythonUnpack[] = R"(
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = z.testzip()
    if bad is not None:
        sys.exit('bad entry: ' + bad)
    for info in z.infolist():
        path = z.extract(info, sys.argv[2])
        if (info.external_attr >> 16) & 0o7777:
            os.chmod(path, (info.external_attr >> 16) & 0o7777)
)";

const char PythonList[] = R"(
import json, struct, sys, zipfile
entries = []
for info in zipfile.ZipFile(sys.argv[1]).infolist():
    utf8, utc, zip64, extra = bool(info.flag_bits & 0x800), -1, False, info.extra
    while len(extra) >= 4:
        kind, size = struct.unpack('<HH', extra[:4])
        if kind == 0x5455 and size >= 5 and extra[4] & 1:
            utc = struct.unpack('<i', extra[5:9])[0]
        zip64 = zip64 or kind == 0x0001
        extra = extra[4 + size:]
    entries.append({
        'name': info.filename.encode('utf-8' if utf8 else 'cp437').hex(), 'text': info.filename,
        'method': info.compress_type, 'utf8': utf8, 'size': info.file_size,
        'dosTime': '%04d-%02d-%02d %02d:%02d:%02d' % info.date_time, 'utcTime': utc, 'zip64': zip64})
print(json.dumps(entries))
)";

} // namespace

QString TestAndUnpack(const QString& reader, const QString& archive, const QString& destination) {
    // $0 is the archive, $1 the destination, $2 the Python unpacker. bsdtar has no test mode;
    // unpacking checks every CRC and fails on a bad one.
    static const QMap<QString, QString> commands{
        {"unzip", "unzip -tq \"$0\" && unzip -q \"$0\" -d \"$1\""},
        {"7zz", "7zz t \"$0\" && 7zz x -y -o\"$1\" \"$0\""},
        {"python", "python3 -c \"$2\" \"$0\" \"$1\""},
        {"bsdtar", "bsdtar -xpf \"$0\" -C \"$1\""}};
    QDir().mkpath(destination);
    QString output;
    const int code = TestTree::Run(
        "bash", {"-c", commands.value(reader, "false"), archive, destination, PythonUnpack}, {},
        &output);
    return code == 0 ? QString() : reader + " failed (" + QString::number(code) + "): " + output;
}

QJsonArray ListEntries(const QString& archive) {
    QString output;
    if (TestTree::RunPython(PythonList, {archive}, &output) != 0)
        return {};
    return QJsonDocument::fromJson(output.toUtf8()).array();
}

int ZipWithCli(const QString& path, QString* output, const QString& shellPrefix) {
    const QString command = shellPrefix + "\nexec \"$0\" zip \"$1\"";
    return TestTree::Run("bash", {"-c", command, TARVO_CLI, path}, {}, output);
}

} // namespace ZipTools

#include "support/ZipTools.h"

#include "support/TestTree.h"

#include <QDir>
#include <QJsonDocument>

namespace ZipTools {

namespace {

// Python's zipfile only unpacks; the modes are put back here from the external attributes,
// as the other readers do, so that the trees compare alike.
const char PythonUnpack[] = R"(
import os, sys, zipfile
archive, destination = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(archive) as z:
    bad = z.testzip()
    if bad is not None:
        sys.exit('bad entry: ' + bad)
    for info in z.infolist():
        path = z.extract(info, destination)
        mode = (info.external_attr >> 16) & 0o7777
        if mode:
            os.chmod(path, mode)
)";

const char PythonList[] = R"(
import json, struct, sys, zipfile
entries = []
with zipfile.ZipFile(sys.argv[1]) as z:
    for info in z.infolist():
        utf8 = bool(info.flag_bits & 0x800)
        raw = info.filename.encode('utf-8' if utf8 else 'cp437')
        utc, zip64, extra = -1, False, info.extra
        while len(extra) >= 4:
            kind, size = struct.unpack('<HH', extra[:4])
            body = extra[4:4 + size]
            if kind == 0x5455 and size >= 5 and body[0] & 1:
                utc = struct.unpack('<i', body[1:5])[0]
            if kind == 0x0001:
                zip64 = True
            extra = extra[4 + size:]
        entries.append({
            'name': raw.hex(), 'text': info.filename, 'method': info.compress_type,
            'utf8': utf8, 'dir': info.is_dir(), 'host': info.create_system,
            'mode': info.external_attr >> 16, 'size': info.file_size,
            'dosTime': '%04d-%02d-%02d %02d:%02d:%02d' % info.date_time,
            'utcTime': utc, 'zip64': zip64})
print(json.dumps(entries))
)";

} // namespace

QStringList ReaderNames() {
    return {"unzip", "7zz", "python", "bsdtar"};
}

QString TestAndUnpack(const QString& reader, const QString& archive, const QString& destination) {
    QDir().mkpath(destination);
    QString output;
    int code = -1;
    if (reader == "unzip") {
        code = TestTree::Run("unzip", {"-tq", archive}, {}, &output);
        if (code == 0)
            code = TestTree::Run("unzip", {"-q", archive, "-d", destination}, {}, &output);
    } else if (reader == "7zz") {
        code = TestTree::Run("7zz", {"t", archive}, {}, &output);
        if (code == 0)
            code = TestTree::Run("7zz", {"x", "-y", "-o" + destination, archive}, {}, &output);
    } else if (reader == "python") {
        code = TestTree::RunPython(PythonUnpack, {archive, destination}, &output);
    } else if (reader == "bsdtar") {
        // bsdtar has no test mode; unpacking checks every CRC and fails on a bad one.
        code = TestTree::Run("bsdtar", {"-xpf", archive, "-C", destination}, {}, &output);
    }
    return code == 0 ? QString() : reader + " failed (" + QString::number(code) + "): " + output;
}

QJsonArray ListEntries(const QString& archive) {
    QString output;
    if (TestTree::RunPython(PythonList, {archive}, &output) != 0)
        return {};
    return QJsonDocument::fromJson(output.toUtf8()).array();
}

int ZipWithCli(const QString& path, QString* output, const QString& shellPrefix) {
    const QString command =
        (shellPrefix.isEmpty() ? QString() : shellPrefix + "; ") + "exec \"$0\" zip \"$1\"";
    return TestTree::Run("bash", {"-c", command, TARVO_CLI, path}, {}, output);
}

} // namespace ZipTools

#include "support/RecordingReport.h"

#include <QStringList>

#include <utility>

void RecordingReport::Add(Record record) {
    std::lock_guard lock(m_mutex);
    m_records.push_back(std::move(record));
}

void RecordingReport::Post(ProgressMessage message) {
    if (message == ProgressMessage::Reset && m_atReset)
        std::exchange(m_atReset, {})();
    // Step, Finished and Reset follow one another in both.
    Add({static_cast<Record::Kind>(static_cast<int>(message) -
                                   static_cast<int>(ProgressMessage::Step)),
         {},
         {}});
}

void RecordingReport::ShowMessage(const QString& text, const QString& caption, MessageKind,
                                  const QString& detail) {
    Add({Record::Message, text, caption, detail});
}

void RecordingReport::OpenFolder(const QString& folder) {
    Add({Record::Folder, folder, {}});
}

void RecordingReport::EndProcess(int) {
    Add({Record::EndProcess, {}, {}});
}

std::vector<RecordingReport::Record> RecordingReport::Records() const {
    std::lock_guard lock(m_mutex);
    return m_records;
}

QStringList RecordingReport::Texts(Record::Kind kind, QString (*text)(const Record&)) const {
    QStringList texts;
    for (const Record& record : Records())
        if (record.kind == kind)
            texts << text(record);
    return texts;
}

QStringList RecordingReport::Messages() const {
    return Texts(Record::Message,
                 [](const Record& message) { return message.caption + '|' + message.text; });
}

QStringList RecordingReport::Details() const {
    return Texts(Record::Message, [](const Record& message) { return message.detail; });
}

QString RecordingReport::Folder() const {
    const QStringList folders =
        Texts(Record::Folder, [](const Record& folder) { return folder.text; });
    return folders.value(folders.size() - 1);
}

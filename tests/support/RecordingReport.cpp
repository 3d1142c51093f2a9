#include "support/RecordingReport.h"

#include <QStringList>

void RecordingReport::Add(Record record) {
    std::lock_guard lock(m_mutex);
    m_records.push_back(std::move(record));
}

void RecordingReport::Post(ProgressMessage message) {
    // Step, Finished and Reset follow one another in both.
    Add({static_cast<Record::Kind>(static_cast<int>(message) -
                                   static_cast<int>(ProgressMessage::Step)),
         {},
         {}});
}

void RecordingReport::ShowMessage(const QString& text, const QString& caption, MessageKind kind,
                                  const QString& detail) {
    Add({Record::Message, text, caption, 0, kind, detail});
}

void RecordingReport::OpenFolder(const QString& folder) {
    Add({Record::Folder, folder, {}});
}

void RecordingReport::EndProcess(int exitCode) {
    Add({Record::EndProcess, {}, {}, exitCode});
}

std::vector<RecordingReport::Record> RecordingReport::Records() const {
    std::lock_guard lock(m_mutex);
    return m_records;
}

QStringList RecordingReport::Messages() const {
    QStringList texts;
    for (const Record& record : Records())
        if (record.kind == Record::Message)
            texts << record.text;
    return texts;
}

QStringList RecordingReport::Details() const {
    QStringList details;
    for (const Record& record : Records())
        if (record.kind == Record::Message)
            details << record.detail;
    return details;
}

int RecordingReport::Count(Record::Kind kind) const {
    int count = 0;
    for (const Record& record : Records())
        count += record.kind == kind;
    return count;
}

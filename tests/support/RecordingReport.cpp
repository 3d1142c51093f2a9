#include "support/RecordingReport.h"

#include <QStringList>

#include <algorithm>

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

void RecordingReport::ShowMessage(const QString& text, const QString& caption, MessageKind,
                                  const QString& detail) {
    Add({Record::Message, text, caption, 0, detail});
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

QStringList RecordingReport::OfMessages(QString Record::*field) const {
    QStringList texts;
    for (const Record& record : Records())
        if (record.kind == Record::Message)
            texts << record.*field;
    return texts;
}

QStringList RecordingReport::Messages() const {
    return OfMessages(&Record::text);
}

QStringList RecordingReport::Details() const {
    return OfMessages(&Record::detail);
}

int RecordingReport::Count(Record::Kind kind) const {
    const std::vector<Record> records = Records();
    return int(std::count_if(records.begin(), records.end(),
                             [kind](const Record& record) { return record.kind == kind; }));
}

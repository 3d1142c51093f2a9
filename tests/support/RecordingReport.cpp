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

QStringList RecordingReport::Messages() const {
    QStringList texts;
    for (const Record& record : Records())
        if (record.kind == Record::Message)
            texts << record.caption + '|' + record.text;
    return texts;
}

QStringList RecordingReport::Details() const {
    QStringList details;
    for (const Record& record : Records())
        if (record.kind == Record::Message)
            details << record.detail;
    return details;
}

QString RecordingReport::Folder() const {
    QString folder;
    for (const Record& record : Records())
        if (record.kind == Record::Folder)
            folder = record.text;
    return folder;
}

#include "support/RecordingReport.h"

#include <QStringList>

#include <chrono>

void RecordingReport::Add(Record record) {
    {
        std::lock_guard lock(m_mutex);
        m_records.push_back(std::move(record));
    }
    m_changed.notify_all();
}

void RecordingReport::Post(ProgressMessage message) {
    switch (message) {
    case ProgressMessage::Step:
        Add({Record::Step, {}, {}});
        break;
    case ProgressMessage::Finished:
        Add({Record::Finished, {}, {}});
        break;
    case ProgressMessage::Reset:
        Add({Record::Reset, {}, {}});
        break;
    }
}

void RecordingReport::ShowMessage(const QString& text, const QString& caption) {
    Add({Record::Message, text, caption});
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

QString RecordingReport::Protocol() const {
    static const char* const names[] = {"Step", "Finished", "Reset", "Message", "Folder", "End"};
    QStringList words;
    for (const Record& record : Records()) {
        const QString name = QString::fromLatin1(names[record.kind]);
        if (record.kind == Record::Step && !words.isEmpty() && words.last() == "Step*")
            continue;
        if (record.kind == Record::Step && !words.isEmpty() && words.last() == "Step") {
            words.last() = QStringLiteral("Step*");
            continue;
        }
        words << name;
    }
    return words.join(u' ');
}

QStringList RecordingReport::Messages() const {
    QStringList texts;
    for (const Record& record : Records())
        if (record.kind == Record::Message)
            texts << record.text;
    return texts;
}

int RecordingReport::Count(Record::Kind kind) const {
    int count = 0;
    for (const Record& record : Records())
        count += record.kind == kind;
    return count;
}

bool RecordingReport::WaitForFinished(int milliseconds) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] {
        for (const Record& record : m_records)
            if (record.kind == Record::Finished)
                return true;
        return false;
    });
}

#pragma once

#include "operation/ReportTarget.h"

#include <QString>

#include <mutex>
#include <vector>

// A report target that writes down everything a worker reports, in order, and answers every
// message at once.
class RecordingReport : public ReportTarget {
public:
    struct Record {
        enum Kind { Step, Finished, Reset, Message, Folder, EndProcess } kind;
        QString text;     // the message or the folder
        QString caption;  // the message's caption
        int code = 0;     // EndProcess's exit code
        QString detail{}; // the message's detail
    };

    void Post(ProgressMessage message) override;
    void ShowMessage(const QString& text, const QString& caption, MessageKind kind,
                     const QString& detail) override;
    void OpenFolder(const QString& folder) override;
    void EndProcess(int exitCode) override;

    std::vector<Record> Records() const;
    QStringList Messages() const;
    QStringList Details() const; // of every message, in order
    int Count(Record::Kind kind) const;

private:
    void Add(Record record);
    QStringList OfMessages(QString Record::*field) const;

    mutable std::mutex m_mutex;
    std::vector<Record> m_records;
};

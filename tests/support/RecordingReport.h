#pragma once

#include "operation/ReportTarget.h"

#include <QString>

#include <functional>
#include <mutex>
#include <vector>

// A report target that writes down everything a worker reports, in order, and answers every
// message at once. What RunAtReset is given runs once, when the worker posts its reset: after
// it has chosen where its result goes and before it writes anything there.
class RecordingReport : public ReportTarget {
public:
    struct Record {
        enum Kind { Step, Finished, Reset, Message, Folder, EndProcess } kind;
        QString text;     // the message or the folder
        QString caption;  // the message's caption
        QString detail{}; // the message's detail
    };

    void Post(ProgressMessage message) override;
    void ShowMessage(const QString& text, const QString& caption, MessageKind kind,
                     const QString& detail) override;
    void OpenFolder(const QString& folder) override;
    void EndProcess(int exitCode) override;
    void RunAtReset(std::function<void()> once) { m_atReset = std::move(once); }

    std::vector<Record> Records() const;
    QStringList Messages() const; // "caption|text" of every message, in order
    QStringList Details() const;  // of every message, in order
    QString Folder() const;       // the last one opened; empty when none was

private:
    void Add(Record record);
    QStringList Texts(Record::Kind kind, QString (*text)(const Record&)) const;

    mutable std::mutex m_mutex;
    std::vector<Record> m_records;
    std::function<void()> m_atReset;
};

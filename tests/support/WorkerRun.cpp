#include "support/WorkerRun.h"

#include "operation/ReportTarget.h"
#include "operation/ThreadStart.h"

#include <QTest>

#include <mutex>
#include <utility>
#include <vector>

// Reports may come from the worker, its helpers and the ticker at once.
class WorkerRun::Recorder : public ReportTarget {
public:
    struct Record {
        QString kind, text = {}, detail = {}; // a message's text as "caption|text"; a folder
    };

    void Post(ProgressMessage message) override {
        if (message == ProgressMessage::Reset && atReset)
            std::exchange(atReset, {})();
        Add({message == ProgressMessage::Step       ? "Step"
             : message == ProgressMessage::Finished ? "Finished"
                                                    : "Reset"});
    }
    void ShowMessage(const QString& text, const QString& caption, MessageKind,
                     const QString& detail) override {
        Add({"Message", caption + '|' + text, detail});
    }
    void OpenFolder(const QString& folder) override { Add({"Folder", folder}); }
    void EndProcess(int) override { Add({"End"}); }

    // The field of every record of this kind (empty: of every record), in order.
    QStringList Texts(const QString& kind, QString Record::*field = &Record::text) const {
        std::lock_guard lock(m_mutex);
        QStringList texts;
        for (const Record& record : m_records)
            if (kind.isEmpty() || record.kind == kind)
                texts << record.*field;
        return texts;
    }

    std::function<void()> atReset;

private:
    void Add(Record record) {
        std::lock_guard lock(m_mutex);
        m_records.push_back(std::move(record));
    }

    mutable std::mutex m_mutex;
    std::vector<Record> m_records;
};

WorkerRun::WorkerRun()
    : m_state(std::make_unique<OperationState>()), m_recorder(std::make_shared<Recorder>()) {
    m_state->reportWindow.Set(m_recorder);
}

WorkerRun::~WorkerRun() {
    // The tickers end after their next post once the operation is over.
    m_state->busy = false;
    if (!QTest::qWaitFor([] { return RunningThreadCount() == 0; }, 30000))
        qWarning("a worker or ticker thread is still running");
}

void WorkerRun::RunAtReset(std::function<void()> once) {
    m_recorder->atReset = std::move(once);
}

UnzipOutcome WorkerRun::Unzip(const QString& archive) {
    m_state->selectedPath = archive;
    m_state->unzipSelected = true;
    return RunUnzip(*m_state);
}

ZipOutcome WorkerRun::Zip(const QString& path, bool folder) {
    m_state->selectedPath = path;
    m_state->zipSelected = true;
    m_state->zipFolder = folder;
    return RunZip(*m_state);
}

QStringList WorkerRun::Reports() const {
    return m_recorder->Texts({}, &Recorder::Record::kind);
}

QString WorkerRun::Milestones() const {
    QStringList kinds = Reports();
    kinds.removeAll("Step");
    return kinds.join(u' ');
}

int WorkerRun::StepsAfterReset() const {
    const QStringList kinds = Reports();
    const qsizetype reset = kinds.indexOf("Reset"), message = kinds.indexOf("Message", reset);
    return reset < 0 ? 0 : int(kinds.mid(reset, message < 0 ? -1 : message - reset).count("Step"));
}

QStringList WorkerRun::Messages() const {
    return m_recorder->Texts("Message");
}

QStringList WorkerRun::Details() const {
    return m_recorder->Texts("Message", &Recorder::Record::detail);
}

QString WorkerRun::Folder() const {
    const QStringList folders = m_recorder->Texts("Folder");
    return folders.value(folders.size() - 1);
}

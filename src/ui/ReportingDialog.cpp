#include "ui/ReportingDialog.h"

#include "operation/OperationState.h"
#include "operation/ProgressProtocol.h"
#include "operation/StopSignals.h"
#include "operation/ThreadStart.h"
#include "ui/PasswordPrompt.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QMessageBox>
#include <QProgressBar>
#include <QSocketNotifier>
#include <QThread>
#include <QUrl>

#include <unistd.h>

#include <future>
#include <mutex>

namespace {

// Custom events beyond the three progress reports.
const QEvent::Type ShowMessageType = static_cast<QEvent::Type>(QEvent::User + 10);
const QEvent::Type OpenFolderType = static_cast<QEvent::Type>(QEvent::User + 11);
const QEvent::Type EndProcessType = static_cast<QEvent::Type>(QEvent::User + 12);
const QEvent::Type AskPasswordType = static_cast<QEvent::Type>(QEvent::User + 13);

// A message a worker waits on. If the window goes before it is shown, Qt deletes the pending
// event, and the destructor releases the waiting worker.
class ShowMessageEvent : public QEvent {
public:
    ShowMessageEvent(QString text, QString caption, QString detail, std::promise<void> shown)
        : QEvent(ShowMessageType), text(std::move(text)), caption(std::move(caption)),
          detail(std::move(detail)), m_shown(std::move(shown)) {}
    ~ShowMessageEvent() override { m_shown.set_value(); }

    const QString text;
    const QString caption;
    const QString detail;

private:
    std::promise<void> m_shown;
};

// A question a worker waits on. An event deleted unanswered (the window went, or is stopping)
// answers that no password was given.
class AskPasswordEvent : public QEvent {
public:
    AskPasswordEvent(PasswordRequest request, std::promise<std::optional<SecretText>> answer)
        : QEvent(AskPasswordType), request(std::move(request)), m_answer(std::move(answer)) {}
    ~AskPasswordEvent() override {
        if (!m_answered)
            m_answer.set_value(std::nullopt);
    }

    void Answer(SecretText password) {
        m_answer.set_value(std::move(password));
        m_answered = true;
    }

    const PasswordRequest request;

private:
    std::promise<std::optional<SecretText>> m_answer;
    bool m_answered = false;
};

class TextEvent : public QEvent {
public:
    TextEvent(Type type, QString text) : QEvent(type), text(std::move(text)) {}
    const QString text;
};

class CodeEvent : public QEvent {
public:
    CodeEvent(Type type, int code) : QEvent(type), code(code) {}
    const int code;
};

} // namespace

// Posts to the window while it exists. The window detaches itself before it is destroyed; the
// lock makes sure no post is under way at that moment.
class WindowReport : public ReportTarget, public PasswordSource {
public:
    explicit WindowReport(QObject* window) : m_window(window) {}

    void Detach() {
        std::lock_guard lock(m_mutex);
        m_window = nullptr;
    }

    void Post(ProgressMessage message) override { Send(new QEvent(EventTypeOf(message))); }

    // The box looks the same whatever the kind: every message is a plain one with an OK button.
    void ShowMessage(const QString& text, const QString& caption, MessageKind,
                     const QString& detail) override {
        std::promise<void> shown;
        std::future<void> done = shown.get_future();
        if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
            // Called on the UI thread itself: show it here rather than wait for ourselves.
            // Only the UI thread detaches the window, so it cannot vanish under this call.
            ShowMessageEvent event(text, caption, detail, std::move(shown));
            if (QObject* window = Window())
                QCoreApplication::sendEvent(window, &event);
            return;
        }
        Send(new ShowMessageEvent(text, caption, detail, std::move(shown)));
        done.wait();
    }

    PasswordSource* Passwords() override { return this; }

    // Waits like ShowMessage; the answer comes back through the promise, never through state
    // that both threads touch.
    std::optional<SecretText> AskPassword(const PasswordRequest& request) override {
        std::promise<std::optional<SecretText>> answer;
        std::future<std::optional<SecretText>> answered = answer.get_future();
        if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
            {
                AskPasswordEvent event(request, std::move(answer));
                if (QObject* window = Window())
                    QCoreApplication::sendEvent(window, &event);
            }
            return answered.get();
        }
        Send(new AskPasswordEvent(request, std::move(answer)));
        return answered.get();
    }

    void OpenFolder(const QString& folder) override { Send(new TextEvent(OpenFolderType, folder)); }

    void EndProcess(int exitCode) override { Send(new CodeEvent(EndProcessType, exitCode)); }

private:
    QObject* Window() {
        std::lock_guard lock(m_mutex);
        return m_window;
    }

    void Send(QEvent* event) {
        std::lock_guard lock(m_mutex);
        if (m_window)
            QCoreApplication::postEvent(m_window, event);
        else
            delete event;
    }

    std::mutex m_mutex;
    QObject* m_window;
};

ReportingDialog::ReportingDialog(QWidget* parent)
    : QDialog(parent), m_report(std::make_shared<WindowReport>(this)) {
    // The title bar and the task bar show the program's icon on both windows.
    setWindowIcon(QIcon(QStringLiteral(":/icons/tarvo.png")));
    // A stop signal is noted by its handler; here, on the UI thread, it stops the run.
    if (StopSignalFd() >= 0) {
        auto* notifier = new QSocketNotifier(StopSignalFd(), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            char bytes[16];
            while (::read(StopSignalFd(), bytes, sizeof bytes) > 0) {
            }
            StopRunThenEnd(StopExitCode(StopSignal()));
        });
    }
}

ReportingDialog::~ReportingDialog() {
    m_report->Detach();
}

std::shared_ptr<ReportTarget> ReportingDialog::Report() const {
    return m_report;
}

void ReportingDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
}

void ReportingDialog::OnProgressStep() {
    if (const auto position = ::OnProgressStep(OperationState::Instance()))
        ProgressBar()->setValue(*position);
}

void ReportingDialog::OnProgressReset() {
    const ProgressRange range = ::OnProgressReset(OperationState::Instance());
    ProgressBar()->setRange(range.minimum, range.maximum);
    ProgressBar()->setValue(0);
}

bool ReportingDialog::RunGoing() const {
    return OperationState::Instance().busy;
}

void ReportingDialog::reject() {
    StopRunThenEnd(std::nullopt);
}

void ReportingDialog::StopRunThenEnd(std::optional<int> exitCode) {
    if (exitCode)
        m_exitCode = exitCode;
    if (!RunGoing())
        return EndNow();
    if (m_stopping)
        return;
    m_stopping = true;
    OperationState::Instance().stopRequested = true;
    // A worker waiting on its message or its password goes on to its end.
    if (m_openBox)
        m_openBox->reject();
}

// The worker has posted its end, after its archive object took back what it wrote.
void ReportingDialog::EndNow() {
    if (m_exitCode)
        EndProcessNow(*m_exitCode);
    QDialog::reject();
}

bool ReportingDialog::event(QEvent* event) {
    switch (static_cast<int>(event->type())) {
    case static_cast<int>(ProgressMessage::Step):
        OnProgressStep();
        return true;
    case static_cast<int>(ProgressMessage::Finished):
        if (m_stopping)
            EndNow();
        else
            OnOperationFinished();
        return true;
    case static_cast<int>(ProgressMessage::Reset):
        OnProgressReset();
        return true;
    case ShowMessageType: {
        // A stopping window shows nothing more; deleting the event lets the worker go on.
        if (m_stopping)
            return true;
        const auto* message = static_cast<ShowMessageEvent*>(event);
        QMessageBox box(QMessageBox::NoIcon, message->caption, message->text, QMessageBox::Ok,
                        this);
        m_openBox = &box;
        // The cause stays behind "Show Details...", so the box's own text reads as before.
        box.setDetailedText(message->detail);
        box.exec();
        m_openBox = nullptr;
        return true;
    }
    case AskPasswordType: {
        if (m_stopping)
            return true;
        auto* ask = static_cast<AskPasswordEvent*>(event);
        PasswordPrompt prompt(ask->request, this);
        m_openBox = &prompt;
        const bool given = prompt.exec() == QDialog::Accepted;
        m_openBox = nullptr;
        if (given && !m_stopping)
            ask->Answer(prompt.TakePassword());
        return true;
    }
    case OpenFolderType:
        if (!m_stopping)
            QDesktopServices::openUrl(QUrl::fromLocalFile(static_cast<TextEvent*>(event)->text));
        return true;
    case EndProcessType:
        QCoreApplication::exit(static_cast<CodeEvent*>(event)->code);
        return true;
    default:
        return QDialog::event(event);
    }
}

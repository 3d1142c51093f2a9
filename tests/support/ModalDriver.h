#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>

// Answers the modal windows a test provokes, one queued answer each, in the order they appear.
// A window is modal while a click that opened it is still inside exec(), so the answers are
// queued before the click and given from a timer that runs in the modal's own event loop.
// A modal that appears with no answer queued is closed, and shows in Seen() like any other, so
// a fault shows as a failed comparison instead of a hang. A context menu, which runs its own
// loop as well, is answered the same way.
class ModalDriver : public QObject {
    Q_OBJECT
public:
    using Answer = std::function<void(QWidget* modal)>;

    struct Record {
        QString kind;   // the class name: "QMessageBox", "AFileDialog", "CAboutDlg", "QMenu", ...
        QString title;  // the window title
        QString text;   // a message box's text
        QString detail; // a message box's detailed text, behind "Show Details..."
        QString folder; // the folder a file dialog opened in, canonical
        QPointer<QWidget> owner;
        bool ownerStillShown = false; // the owner was visible while the modal was up
    };

    ModalDriver();

    // Queues the answer to the next modal window.
    ModalDriver& Then(Answer answer);

    // Leaves this window alone: the test runs it with exec() itself.
    void Ignore(QWidget* window) { m_answered.append(window); }

    int Pending() const { return static_cast<int>(m_answers.size()); }
    const QList<Record>& Seen() const { return m_seen; }

private:
    void Poll();

    QTimer m_timer;
    std::deque<Answer> m_answers;
    QList<Record> m_seen;
    QList<QPointer<QWidget>> m_answered; // still alive; answered once only
};

// Ready-made answers.
namespace Answers {
// Clicks the message box's OK button.
ModalDriver::Answer PressOk();
// Presses Esc in the window.
ModalDriver::Answer PressEscape();
// Closes the window as its close box does.
ModalDriver::Answer Close();
// Types path into a file dialog's file-name field and clicks its accept button.
ModalDriver::Answer TypePathAndAccept(const QString& path);
// Runs inspect on the window, then gives the answer.
ModalDriver::Answer Inspect(std::function<void(QWidget*)> inspect, ModalDriver::Answer answer);
} // namespace Answers

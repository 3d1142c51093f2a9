#include "support/ModalDriver.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

ModalDriver::ModalDriver() {
    connect(&m_timer, &QTimer::timeout, this, &ModalDriver::Poll);
    m_timer.start(5);
}

ModalDriver& ModalDriver::Then(Answer answer) {
    m_answers.push_back(std::move(answer));
    return *this;
}

void ModalDriver::Poll() {
    QWidget* modal = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!modal)
        modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    // A window already answered stays modal until its exec() returns, and one under a message
    // box becomes the modal again when the box goes; each is answered once.
    m_answered.removeAll(QPointer<QWidget>());
    if (m_answered.contains(modal))
        return;
    m_answered.append(modal);

    Record record;
    record.kind = QString::fromLatin1(modal->metaObject()->className());
    record.title = modal->windowTitle();
    record.owner = modal->parentWidget();
    record.ownerStillShown = record.owner && record.owner->isVisible();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        record.text = box->text();
        record.detail = box->detailedText();
    }
    if (auto* dialog = qobject_cast<QFileDialog*>(modal))
        record.folder = dialog->directory().canonicalPath();
    m_seen.append(record);
    Answer answer = Answers::Close();
    if (!m_answers.empty()) {
        answer = std::move(m_answers.front());
        m_answers.pop_front();
    }
    // Given from a fresh event rather than from the timer, so an answer that opens another
    // modal does not stop the timer that would answer it.
    QTimer::singleShot(0, this, [target = QPointer<QWidget>(modal), answer] {
        if (target)
            answer(target);
    });
}

namespace Answers {
namespace {

// Closes the modal so the test goes on, and records why it could not be answered.
void Fail(QWidget* modal, const char* why) {
    modal->close();
    QTest::qFail(why, __FILE__, __LINE__);
}

} // namespace

ModalDriver::Answer PressOk() {
    return [](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box || !box->button(QMessageBox::Ok))
            return Fail(modal, "expected a message box with an OK button");
        box->button(QMessageBox::Ok)->click();
    };
}

ModalDriver::Answer PressEscape() {
    return [](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Escape); };
}

ModalDriver::Answer Close() {
    return [](QWidget* modal) { modal->close(); };
}

ModalDriver::Answer TypePathAndAccept(const QString& path) {
    return [path](QWidget* modal) {
        auto* nameField = modal->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        auto* buttons = modal->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        // Both pickers open rather than save; the button keeps its role when relabelled.
        QPushButton* accept = buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
        if (!qobject_cast<QFileDialog*>(modal) || !nameField || !accept)
            return Fail(modal, "expected a file dialog with a name field and an accept button");
        nameField->clear();
        QTest::keyClicks(nameField, path);
        if (!accept->isEnabled())
            return Fail(modal, "the accept button stays disabled for the typed path");
        accept->click();
    };
}

ModalDriver::Answer Inspect(std::function<void(QWidget*)> inspect, ModalDriver::Answer answer) {
    return [inspect, answer](QWidget* modal) {
        inspect(modal);
        answer(modal);
    };
}

} // namespace Answers

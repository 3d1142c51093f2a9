#pragma once

#include <QList>
#include <QObject>
#include <QTemporaryDir>
#include <QUrl>

// Shared set-up of the window tests.
namespace GuiFixture {

// Waits until every thread the program started has returned; false when some still run after
// a minute.
bool WaitForProgramThreads();

// What one test of the windows holds while it runs (made in init(), dropped in cleanup()): the
// program's name, settings kept apart from the user's, the operation state as a fresh program
// has it, a temporary folder, and the addresses the program asks the desktop to open (pages,
// folders for the file browser), written down instead of opened. When it goes, the threads the
// test started are waited for and the quit request of a progress window is taken back.
class Case : public QObject {
    Q_OBJECT
public:
    Case();
    ~Case() override;

    QString Root() const { return m_files.path(); }
    QString Path(const QString& relative) const { return m_files.filePath(relative); }
    const QList<QUrl>& Urls() const { return m_urls; }

    Q_INVOKABLE void Open(const QUrl& url) { m_urls.append(url); }

private:
    QTemporaryDir m_files;
    QList<QUrl> m_urls;
};

} // namespace GuiFixture

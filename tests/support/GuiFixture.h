#pragma once

#include <QList>
#include <QObject>
#include <QTemporaryDir>
#include <QUrl>

// Takes the addresses the program asks the desktop to open (pages, folders for the file
// browser) and writes them down instead, while it exists.
class UrlCapture : public QObject {
    Q_OBJECT
public:
    UrlCapture();
    ~UrlCapture() override;

    const QList<QUrl>& Urls() const { return m_urls; }

    Q_INVOKABLE void Open(const QUrl& url) { m_urls.append(url); }

private:
    QList<QUrl> m_urls;
};

// Shared set-up of the window tests.
namespace GuiFixture {

// Waits until every thread the program started has returned; false when some still run after
// a minute.
bool WaitForProgramThreads();

// What one test of the windows holds while it runs (made in init(), dropped in cleanup()): the
// program's name, settings kept apart from the user's, the operation state as a fresh program
// has it, a temporary folder, and the addresses the program
// asked to open meanwhile; when it goes, the threads the test started are waited for and the quit
// request of a progress window is taken back.
class Case {
public:
    Case();
    ~Case();

    QString Root() const { return m_files.path(); }
    QString Path(const QString& relative) const { return m_files.filePath(relative); }
    const QList<QUrl>& Urls() const { return m_urls.Urls(); }

private:
    QTemporaryDir m_files;
    UrlCapture m_urls;
};

} // namespace GuiFixture

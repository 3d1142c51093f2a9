#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A private X display for end-to-end runs of the real program: a virtual X server started
// with xvfb-run, driven with xdotool as a person would with the keyboard. A stand-in
// "xdg-open" comes first on the programs' PATH and writes down what it is asked to open, so no
// file browser starts.
class XSession {
public:
    XSession();
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    // Empty when the display is up; otherwise why it is not (tools missing, server failed).
    QString Unavailable() const { return m_unavailable; }

    // Starts a program on the display. The process is killed when the session ends.
    QProcess* Launch(const QString& program, const QStringList& arguments,
                     const QString& workingDirectory);

    // The id of the one visible window whose title matches the regular expression, once it is
    // there; empty when none came within the time.
    QString WaitForWindow(const QString& titlePattern, int timeoutMs = 20000);
    // True once no visible window's title matches any more.
    bool WaitForNoWindow(const QString& titlePattern, int timeoutMs = 20000);

    // The titles of all visible windows, for failure messages.
    QStringList VisibleTitles() const;

    // Gives the window the keyboard focus (there is no window manager to do it).
    bool Focus(const QString& windowId);
    // Presses keys one after another, by their X names: "Tab", "space", "Return", "Escape".
    bool Keys(const QStringList& keys);
    // Types text into the focused window.
    bool Type(const QString& text);

    // What xprop says of one property of a window; empty when it could not be read.
    QString WindowProperty(const QString& windowId, const QString& property) const;

    // What the stand-in xdg-open was asked to open, as local paths, in order.
    QStringList Opened() const;

private:
    bool StartServer(const QString& standIns);
    void StopServer();
    int Xdotool(const QStringList& arguments, QString* output = nullptr) const;

    QString m_unavailable;
    QTemporaryDir m_directory;
    QProcess m_server;
    QString m_display;
    QString m_authority;    // the server's authority file, which names it among others
    qint64 m_holderPid = 0; // the command xvfb-run runs; its end takes the server down
    QProcessEnvironment m_environment;
    std::vector<std::unique_ptr<QProcess>> m_programs;
};

#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// A private virtual X display for end-to-end runs of the real program, driven with xdotool as
// a person would with the keyboard. A stand-in "xdg-open" comes first on the programs' PATH and
// writes down what it is asked to open, so no file browser starts.
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

    // The id of the first visible window whose title matches the regular expression, once it
    // is there; empty when none came within the time.
    QString WaitForWindow(const QString& titlePattern, int timeoutMs = 20000);
    bool WaitForNoWindow(const QString& titlePattern, int timeoutMs = 20000);

    // Gives the window the keyboard focus (there is no window manager to do it), then presses
    // keys by their X names ("Tab", "space", "Return", "Escape"), or types text.
    bool Keys(const QString& windowId, const QStringList& keys);
    bool Type(const QString& windowId, const QString& text);

    // What xprop says of one property of a window; empty when it could not be read.
    QString WindowProperty(const QString& windowId, const QString& property) const;

    // What the stand-in xdg-open was asked to open, as local paths, in order.
    QStringList Opened() const;

private:
    int Xdotool(const QStringList& arguments, QString* output = nullptr) const;

    QString m_unavailable;
    QTemporaryDir m_directory;
    QProcess m_server;
    QProcessEnvironment m_environment;
    std::vector<std::unique_ptr<QProcess>> m_programs;
};

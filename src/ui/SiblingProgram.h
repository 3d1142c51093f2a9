#pragma once

#include <QString>

#include <functional>

// The maker's other program, shipped in the same folder as this one and started from MORE.
namespace SiblingProgram {

// Its full path: "quenlo" ("quenlo.exe" on Windows) in this program's directory.
QString Path();

// Starts a program detached, in a working directory; false when it could not be started.
using Launcher = std::function<bool(const QString& program, const QString& workingDirectory)>;

// Replaces the way the program is started, so tests can watch the start without a real
// program; an empty launcher brings back QProcess::startDetached.
void SetLauncher(Launcher launcher);

// Starts it from this program's directory. A missing program is not reported: it is an
// optional companion.
bool Start();

} // namespace SiblingProgram

#pragma once

#include <atomic>

// SIGINT and SIGTERM ask the running operation to stop, so that its temporaries and whatever it
// created are removed before the process ends. The handler does only what is safe there: it
// notes the signal, raises `stop` when given (a lock-free flag), and writes a byte to a pipe for
// a watcher on the UI thread. A second signal meets the default action and ends the process at
// once; what that leaves behind the next run on the same name removes. A signal the process
// was started with ignored stays ignored.
void CatchStopSignals(std::atomic<bool>* stop);

// The signal that asked to stop, or 0 when none came.
int StopSignal();

// Becomes readable once a stop signal came; -1 before CatchStopSignals.
int StopSignalFd();

// The exit code of a process ended by that signal's request: 128 + its number.
int StopExitCode(int signal);

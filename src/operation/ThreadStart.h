#pragma once

// Every thread of the program starts here: detached, never joined, ending by returning from its
// procedure. The count of threads still running lets the process end without tearing state out
// from under them.
using ThreadProcedure = unsigned (*)(void* parameter);

void BeginThread(ThreadProcedure procedure, void* parameter);

// Program threads started by BeginThread that have not yet returned.
int RunningThreadCount();

// Ends the process with this exit code. Output is flushed first; while program threads still
// run, the static destructors are skipped, so no thread sees its state destroyed under it.
[[noreturn]] void EndProcessNow(int exitCode);

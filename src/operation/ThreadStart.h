#pragma once

// Every worker and ticker thread starts here: detached, never joined, ending by returning from
// its procedure. The count of those still running lets the process end without tearing state
// out from under them. The archive class's compression and decoding pools are not counted: they
// start and join their own threads inside one call of a worker, which is itself counted.
using ThreadProcedure = unsigned (*)(void* parameter);

void BeginThread(ThreadProcedure procedure, void* parameter);

// Threads started by BeginThread that have not yet returned.
int RunningThreadCount();

// Ends the process with this exit code. Output is flushed first; while program threads still
// run, the static destructors are skipped, so no thread sees its state destroyed under it.
[[noreturn]] void EndProcessNow(int exitCode);

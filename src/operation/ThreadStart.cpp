#include "operation/ThreadStart.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {
std::atomic<int> g_runningThreads{0};
}

void BeginThread(ThreadProcedure procedure, void* parameter) {
    ++g_runningThreads;
    // Linux gives an unprivileged desktop program no priority above the default for ordinary
    // threads, so the threads keep the default one.
    std::thread([procedure, parameter] {
        procedure(parameter);
        --g_runningThreads;
    }).detach();
}

int RunningThreadCount() {
    return g_runningThreads;
}

void EndProcessNow(int exitCode) {
    std::fflush(nullptr);
    if (g_runningThreads > 0)
        std::_Exit(exitCode);
    std::exit(exitCode);
}

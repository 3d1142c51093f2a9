#include "operation/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// Atomics, not sig_atomic_t: the handler may run on any thread, and the UI or main thread reads.
std::atomic<int> g_signal{0};
std::atomic<bool>* g_stop = nullptr;
int g_pipe[2] = {-1, -1};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "a signal handler writes them");

extern "C" void OnStopSignal(int signal) {
    const int savedErrno = errno;
    g_signal = signal;
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    for (const int caught : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        if (::sigaction(caught, nullptr, &current) == 0 && current.sa_handler == OnStopSignal)
            ::sigaction(caught, &fallback, nullptr);
    }
    if (g_stop)
        g_stop->store(true);
    const char byte = 1;
    // The pipe is non-blocking: when it is full, a watcher has plenty to wake up for already.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

void CatchStopSignals(std::atomic<bool>* stop) {
    g_stop = stop;
    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_pipe[0] = g_pipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Both are held off while one is handled; the handler then gives way to the default.
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM}) {
        // A signal ignored from the start stays ignored: a script's background job is not
        // meant to stop on the terminal's Ctrl-C.
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signal, &action, nullptr);
    }
}

int StopSignal() {
    return g_signal;
}

int StopSignalFd() {
    return g_pipe[0];
}

int StopExitCode(int signal) {
    return 128 + signal;
}

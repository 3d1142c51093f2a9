#include "operation/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

volatile std::sig_atomic_t g_signal = 0;
std::atomic<bool>* g_stop = nullptr;
int g_pipe[2] = {-1, -1};

static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler raises the stop flag");

extern "C" void OnStopSignal(int signal) {
    const int savedErrno = errno;
    g_signal = signal;
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
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
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
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

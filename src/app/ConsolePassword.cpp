#include "app/ConsolePassword.h"

#include "operation/StopSignals.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Enough for any password typed or kept in a file; reserved so the buffer never moves.
constexpr std::size_t kPasswordRoom = 1024;

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Echo off on the terminal for as long as it lives; the newline the user types still shows.
class EchoOff {
public:
    EchoOff() : m_saved(::tcgetattr(STDIN_FILENO, &m_old) == 0) {
        if (!m_saved)
            return;
        termios quiet = m_old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    ~EchoOff() {
        if (m_saved)
            ::tcsetattr(STDIN_FILENO, TCSANOW, &m_old);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    termios m_old{};
    bool m_saved;
};

// Waits for stdin to have a byte, or for a stop signal: the signal handler restarts reads, so
// a plain read would go on waiting after Ctrl-C.
bool WaitForInput() {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {StopSignalFd(), POLLIN, 0}};
    const nfds_t count = StopSignalFd() >= 0 ? 2 : 1;
    for (;;) {
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (count == 2 && (fds[1].revents & POLLIN))
            return false;
        return fds[0].revents != 0;
    }
}

// One line typed without echo; nothing at the end of input or on a stop signal.
std::optional<SecretText> ReadHiddenLine() {
    SecretText line;
    line.Reserve(kPasswordRoom);
    for (;;) {
        if (!WaitForInput())
            return std::nullopt;
        char c = 0;
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return std::nullopt;
        if (c == '\n')
            return line;
        line.Append(c);
        c = 0;
    }
}

} // namespace

ConsolePassword::ConsolePassword(const char* passwordFile) : m_fileGiven(true) {
    const std::unique_ptr<std::FILE, FileClose> file(std::fopen(passwordFile, "rbe"));
    if (!file)
        throw std::runtime_error(std::string("cannot read the password file ") + passwordFile +
                                 ": " + std::strerror(errno));
    // Unbuffered, so no copy of the password stays in a stdio buffer.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    SecretText line;
    line.Reserve(kPasswordRoom);
    for (int c = std::getc(file.get()); c != EOF && c != '\n'; c = std::getc(file.get()))
        line.Append(static_cast<char>(c));
    if (std::ferror(file.get()))
        throw std::runtime_error(std::string("cannot read the password file ") + passwordFile +
                                 ": " + std::strerror(errno));
    // A file written on Windows ends its line with CR LF.
    std::string_view text = line.View();
    if (text.ends_with('\r')) {
        SecretText trimmed;
        trimmed.Reserve(kPasswordRoom);
        for (const char c : text.substr(0, text.size() - 1))
            trimmed.Append(c);
        line = std::move(trimmed);
    }
    m_fromFile = std::move(line);
}

std::optional<SecretText> ConsolePassword::AskPassword(const PasswordRequest& request) {
    if (m_fileGiven) {
        std::optional<SecretText> password = std::move(m_fromFile);
        m_fromFile.reset();
        return password;
    }
    if (!::isatty(STDIN_FILENO))
        return std::nullopt;
    // Echo goes off before the question shows, so nothing typed in answer is echoed.
    const EchoOff echoOff;
    if (request.attempt > 1)
        std::fprintf(stderr, "The password is wrong (try %d of %d).\n", request.attempt,
                     request.attempts);
    std::fprintf(stderr, "Password for %s: ", request.archiveName.toUtf8().constData());
    std::fflush(stderr);
    return ReadHiddenLine();
}

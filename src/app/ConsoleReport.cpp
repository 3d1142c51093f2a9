#include "app/ConsoleReport.h"

#include "operation/WorkMeter.h"

#include <QLocale>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace {

// A folder of a million small files steps once per file; the line is redrawn at most this often.
constexpr std::chrono::milliseconds kRedrawPeriod{100};

int TerminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

QString Bytes(std::uint64_t count) {
    return QLocale::c().formattedDataSize(static_cast<qint64>(count), 1,
                                          QLocale::DataSizeTraditionalFormat);
}

} // namespace

ConsoleReport::ConsoleReport(const WorkMeter* meter, std::unique_ptr<PasswordSource> passwords)
    : m_meter(meter), m_passwords(std::move(passwords)) {}

QString ConsoleReport::ProgressLine(std::uint64_t done, std::uint64_t total, const QString& current,
                                    int width) {
    done = std::min(done, total);
    const int percent =
        total == 0 ? 0 : static_cast<int>(static_cast<unsigned __int128>(done) * 100 / total);
    QString line = QStringLiteral("%1%  %2 of %3").arg(percent, 3).arg(Bytes(done), Bytes(total));
    if (!current.isEmpty())
        line += QStringLiteral("  ") + current;
    // One column is left free: a line that fills the terminal wraps and is no longer rewritten.
    return line.left(std::max(width - 1, 0));
}

void ConsoleReport::Post(ProgressMessage message) {
    if (message != ProgressMessage::Step)
        return;
    std::lock_guard lock(m_mutex);
    if (!m_meter)
        return;
    const auto now = std::chrono::steady_clock::now();
    const bool complete = m_meter->Done() >= m_meter->Total();
    if (!complete && m_lineShown && now - m_lastDrawn < kRedrawPeriod)
        return;
    m_lastDrawn = now;
    DrawProgress();
}

void ConsoleReport::DrawProgress() {
    const QString line =
        ProgressLine(m_meter->Done(), m_meter->Total(), m_meter->Current(), TerminalWidth());
    std::fprintf(stderr, "\r\033[K%s", line.toUtf8().constData());
    std::fflush(stderr);
    m_lineShown = true;
}

void ConsoleReport::ClearProgress() {
    if (!m_lineShown)
        return;
    std::fputs("\r\033[K", stderr);
    m_lineShown = false;
}

void ConsoleReport::ShowMessage(const QString& text, const QString&, MessageKind kind,
                                const QString& detail) {
    std::lock_guard lock(m_mutex);
    ClearProgress();
    std::FILE* stream = kind == MessageKind::Failure ? stderr : stdout;
    std::fprintf(stream, "%s\n", text.toUtf8().constData());
    std::fflush(stream);
    // The message stays the same for scripts that read it; the cause of a failure, or what a
    // run skipped, goes beside it on stderr.
    if (!detail.isEmpty()) {
        std::fprintf(stderr, "%s\n", detail.toUtf8().constData());
        std::fflush(stderr);
    }
    // Whatever the ticker posts after the end draws no line under the message.
    m_meter = nullptr;
}

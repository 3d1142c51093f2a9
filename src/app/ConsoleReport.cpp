#include "app/ConsoleReport.h"

#include <cstdio>

void ConsoleReport::ShowMessage(const QString& text, const QString&, MessageKind kind,
                                const QString& detail) {
    std::FILE* stream = kind == MessageKind::Failure ? stderr : stdout;
    std::fprintf(stream, "%s\n", text.toUtf8().constData());
    std::fflush(stream);
    // The message stays the same for scripts that read it; what was skipped goes beside it.
    if (!detail.isEmpty()) {
        std::fprintf(stderr, "%s\n", detail.toUtf8().constData());
        std::fflush(stderr);
    }
}

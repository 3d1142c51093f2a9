#include "app/ConsoleReport.h"

#include <cstdio>

void ConsoleReport::ShowMessage(const QString& text, const QString&, MessageKind kind) {
    std::FILE* stream = kind == MessageKind::Failure ? stderr : stdout;
    std::fprintf(stream, "%s\n", text.toUtf8().constData());
    std::fflush(stream);
}

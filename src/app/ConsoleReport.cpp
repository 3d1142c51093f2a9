#include "app/ConsoleReport.h"

#include <cstdio>

void ConsoleReport::ShowMessage(const QString& text, const QString&) {
    const bool error = text.startsWith(QStringLiteral("Error")) ||
                       text.startsWith(QStringLiteral("Please select"));
    std::FILE* stream = error ? stderr : stdout;
    std::fprintf(stream, "%s\n", text.toUtf8().constData());
    std::fflush(stream);
}

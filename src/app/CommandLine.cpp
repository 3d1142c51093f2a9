#include "app/CommandLine.h"

namespace {

constexpr char16_t Quote = u'"';
constexpr char16_t Blank = u' ';

} // namespace

QString CommandLineRemainder(const QString& raw) {
    qsizetype position = 0;
    bool quoted = false;
    for (; position < raw.size(); ++position) {
        const char16_t c = raw.at(position).unicode();
        if (c == Quote)
            quoted = !quoted;
        else if (!quoted && c <= Blank)
            break;
    }
    // U+0000 is not skipped: it ends a command line that arrives as a C string.
    while (position < raw.size() && raw.at(position).unicode() >= 1 &&
           raw.at(position).unicode() <= Blank)
        ++position;
    return raw.mid(position);
}

QString CleanDirectModePath(const QString& remainder) {
    if (remainder.size() < 2)
        return QString();
    return remainder.mid(1, remainder.size() - 2);
}

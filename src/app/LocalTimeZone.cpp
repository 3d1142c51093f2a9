#include "app/LocalTimeZone.h"

#include <cstdlib>

void NameLocalTimeZone() {
    if (!std::getenv("TZ"))
        ::setenv("TZ", ":/etc/localtime", 0);
}

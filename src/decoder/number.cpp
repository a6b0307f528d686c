#include "number.h"

#include <cstdlib>
#include <cstring>

long parseNumber(const char *text, long limit) {
    if (*text == '\0' || strspn(text, "0123456789") != strlen(text) || strlen(text) > 10) {
        return -1;
    }
    long value = strtol(text, nullptr, 10);
    return value <= limit ? value : -1;
}

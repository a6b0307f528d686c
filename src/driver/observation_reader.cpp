#include "observation_reader.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "report_format.h"

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n';
}

const char *skipSpace(const char *p) {
    while (isSpace(*p)) {
        ++p;
    }
    return p;
}

bool isBlankLine(const char *line) {
    return *skipSpace(line) == '\0';
}

// Exactly 12 hex digits followed by a comma, which is consumed too.
int takeMac(const char *&p, char (&text)[MAC_TEXT_LENGTH + 1]) {
    for (int i = 0; i < MAC_TEXT_LENGTH; ++i) {
        if (hexNibble(p[i]) < 0) {
            return -1;
        }
        text[i] = p[i];
    }
    text[MAC_TEXT_LENGTH] = '\0';
    if (p[MAC_TEXT_LENGTH] != ',') {
        return -1;
    }
    p += MAC_TEXT_LENGTH + 1;
    return 0;
}

// Optional white space and sign, then at least one decimal digit; the value must fit int32.
int takeInt(const char *&p, int32_t &value) {
    const char *c = skipSpace(p);
    bool negative = *c == '-';
    if (*c == '-' || *c == '+') {
        ++c;
    }
    if (*c < '0' || *c > '9') {
        return -1;
    }
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t magnitude = 0;
    for (; *c >= '0' && *c <= '9'; ++c) {
        magnitude = magnitude * 10 + (*c - '0');
        if (magnitude > limit) {
            return -1;
        }
    }
    value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    p = c;
    return 0;
}

// Makes sure unread bytes are buffered. Returns false at the end of input (a read error
// ends it too).
bool fillBuffer(InputReader &reader) {
    if (reader.start < reader.end) {
        return true;
    }
    if (reader.atEnd) {
        return false;
    }
    size_t want = reader.seekable ? sizeof reader.buffer : 1;
    ssize_t got;
    do {
        got = read(reader.fd, reader.buffer, want);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        reader.atEnd = true;
        return false;
    }
    reader.start = 0;
    reader.end = static_cast<int>(got);
    return true;
}

enum class LineRead { Kept, TooLongOrNul, End };

// One line without its newline; a line that does not fit or holds a NUL byte is still
// consumed up to its newline, so reading goes on with the next one.
LineRead readLine(InputReader &reader, char (&line)[LINE_CAPACITY]) {
    if (!fillBuffer(reader)) {
        return LineRead::End;
    }
    int length = 0;
    bool kept = true;
    bool ended = false;
    while (!ended && fillBuffer(reader)) {
        const char *from = reader.buffer + reader.start;
        int available = reader.end - reader.start;
        const void *newline = memchr(from, '\n', static_cast<size_t>(available));
        ended = newline != nullptr;
        int take = ended ? static_cast<int>(static_cast<const char *>(newline) - from) : available;
        reader.start += take + (ended ? 1 : 0);
        if (take > LINE_CAPACITY - 1 - length ||
            memchr(from, '\0', static_cast<size_t>(take)) != nullptr) {
            kept = false;
        }
        if (kept) {
            memcpy(line + length, from, static_cast<size_t>(take));
            length += take;
        }
    }
    line[length] = '\0';
    return kept ? LineRead::Kept : LineRead::TooLongOrNul;
}

} // namespace

int parseObservation(const char *line, Observation &out) {
    Observation parsed = {};
    const char *p = skipSpace(line);
    if (takeMac(p, parsed.apmac) != 0 || takeMac(p, parsed.mumac) != 0) {
        return -1;
    }
    int32_t *numbers[] = {&parsed.timestamp, &parsed.rssi, &parsed.channel, &parsed.rate,
                          &parsed.assoc};
    int fields = static_cast<int>(sizeof numbers / sizeof numbers[0]);
    for (int i = 0; i < fields; ++i) {
        if (takeInt(p, *numbers[i]) != 0) {
            return -1;
        }
        // A comma follows every number but the last, directly.
        if (i + 1 < fields && *p++ != ',') {
            return -1;
        }
    }
    if (*skipSpace(p) != '\0') {
        return -1;
    }
    out = parsed;
    return 0;
}

void initInputReader(InputReader &reader, int fd) {
    memset(&reader, 0, sizeof reader);
    reader.fd = fd;
    reader.seekable = lseek(fd, 0, SEEK_CUR) >= 0;
}

NextLine nextObservation(InputReader &reader, Observation &out, int &lineNumber) {
    char line[LINE_CAPACITY];
    for (;;) {
        LineRead status = readLine(reader, line);
        if (status == LineRead::End) {
            return NextLine::End;
        }
        if (lineNumber < INT_MAX) {
            ++lineNumber;
        }
        if (status == LineRead::TooLongOrNul) {
            return NextLine::Malformed;
        }
        if (!isBlankLine(line)) {
            return parseObservation(line, out) == 0 ? NextLine::Observation : NextLine::Malformed;
        }
    }
}

void releaseUnread(InputReader &reader) {
    if (reader.seekable && reader.end > reader.start) {
        // Best-effort: if the seek fails there is nothing better to do with the bytes.
        lseek(reader.fd, -static_cast<off_t>(reader.end - reader.start), SEEK_CUR);
        reader.start = reader.end;
    }
}

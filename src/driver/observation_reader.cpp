#include "observation_reader.h"

#include <errno.h>
#include <fcntl.h>
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

// Exactly 12 hex digits followed by a comma, which is consumed too; both the text and its
// bytes are kept.
int takeMac(const char *&p, char (&text)[MAC_TEXT_LENGTH + 1], uint8_t (&bytes)[MAC_SIZE]) {
    // Twelve digits were read, so the character after them is within the text.
    // NOLINTNEXTLINE(clang-analyzer-core.UndefinedBinaryOperatorResult)
    if (parseMac(p, bytes) != 0 || p[MAC_TEXT_LENGTH] != ',') {
        return -1;
    }
    memcpy(text, p, MAC_TEXT_LENGTH);
    text[MAC_TEXT_LENGTH] = '\0';
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
    const uint32_t limit = negative ? 0x80000000U : 0x7FFFFFFFU;
    uint32_t magnitude = 0;
    for (; *c >= '0' && *c <= '9'; ++c) {
        uint32_t digit = static_cast<uint32_t>(*c - '0');
        if (magnitude > (limit - digit) / 10) {
            return -1;
        }
        magnitude = magnitude * 10 + digit;
    }
    value = static_cast<int32_t>(negative ? 0U - magnitude : magnitude);
    p = c;
    return 0;
}

// One read of up to size bytes, made again when a signal interrupted it. Returns what read
// returns.
ssize_t readOnce(int fd, char *to, size_t size) {
    ssize_t got;
    do {
        got = read(fd, to, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Takes from the pipe the bytes of the window that were used, so that the next look starts
// after them; buffer already holds the same bytes. They wait in the pipe, so one read gets
// them all. Returns -1 when the read failed.
int takeUsed(InputReader &reader, int used) {
    return used == 0 || readOnce(reader.fd, reader.buffer, static_cast<size_t>(used)) == used ? 0
                                                                                              : -1;
}

// The next window of a pipe without taking it. Returns its size, 0 at the end of input, -1
// when a read failed; falls back to byte reads where tee cannot look (not a pipe).
ssize_t lookAhead(InputReader &reader) {
    // Everything looked at so far was used: tee always copies from the front of the pipe.
    if (takeUsed(reader, reader.end) != 0) {
        return -1;
    }
    ssize_t got;
    do {
        got = tee(reader.fd, reader.peek[1], sizeof reader.buffer, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && errno == EINVAL) {
        reader.peek[0] = -1;
        return readOnce(reader.fd, reader.buffer, 1);
    }
    // The private pipe holds exactly the bytes tee copied.
    return got <= 0 ? got : readOnce(reader.peek[0], reader.buffer, static_cast<size_t>(got));
}

// Makes sure unread bytes are buffered. Returns false at the end of input; a read error
// ends it too, and is noted in failed.
bool fillBuffer(InputReader &reader) {
    if (reader.start < reader.end) {
        return true;
    }
    if (reader.atEnd) {
        return false;
    }
    ssize_t got = reader.peek[0] >= 0 ? lookAhead(reader)
                                      : readOnce(reader.fd, reader.buffer,
                                                 reader.seekable ? sizeof reader.buffer : 1);
    reader.start = 0;
    reader.end = got > 0 ? static_cast<int>(got) : 0;
    reader.atEnd = got <= 0;
    reader.failed = got < 0;
    return got > 0;
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
    while (reader.start < reader.end || fillBuffer(reader)) {
        char c = reader.buffer[reader.start++];
        if (c == '\n') {
            break;
        }
        kept = kept && c != '\0' && length < LINE_CAPACITY - 1;
        if (kept) {
            line[length++] = c;
        }
    }
    line[length] = '\0';
    return kept ? LineRead::Kept : LineRead::TooLongOrNul;
}

} // namespace

int parseObservation(const char *line, Observation &out) {
    Observation parsed = {};
    const char *p = skipSpace(line);
    if (takeMac(p, parsed.apmac, parsed.apMac) != 0 ||
        takeMac(p, parsed.mumac, parsed.muMac) != 0) {
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
    if (reader.seekable || pipe(reader.peek) != 0) {
        reader.peek[0] = -1;
    }
}

NextLine nextObservation(InputReader &reader, Observation &out, int &lineNumber) {
    char line[LINE_CAPACITY];
    for (;;) {
        LineRead status = readLine(reader, line);
        if (status == LineRead::End) {
            return reader.failed ? NextLine::Failed : NextLine::End;
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
    if (reader.peek[0] >= 0) {
        // Best-effort, as below.
        takeUsed(reader, reader.start);
        reader.end = reader.start;
    } else if (reader.seekable && reader.end > reader.start) {
        // Best-effort: if the seek fails there is nothing better to do with the bytes.
        lseek(reader.fd, -static_cast<off_t>(reader.end - reader.start), SEEK_CUR);
        reader.start = reader.end;
    }
}

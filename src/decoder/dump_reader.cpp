#include "dump_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tally.h"

namespace {

// Appends the bytes of one dump line ("7C 83 00 ..."). Returns -1 when it is not hex pairs.
int appendHexLine(const char *line, std::vector<uint8_t> &bytes) {
    for (const char *p = line; *p != '\0';) {
        if (*p == ' ' || *p == '\t' || *p == '\r') {
            ++p;
            continue;
        }
        int hi = hexNibble(p[0]);
        int lo = hi < 0 ? -1 : hexNibble(p[1]);
        if (lo < 0 || (p[2] != '\0' && p[2] != ' ' && p[2] != '\r')) {
            return -1;
        }
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
        p += 2;
    }
    return 0;
}

// One dump block being read: where it started and its bytes so far.
struct Block {
    bool open = false;
    bool badHex = false;
    long line = 0;
    std::vector<uint8_t> bytes;
};

std::string lineText(long line) {
    return "-: line " + std::to_string(line);
}

// Takes one input line into block, decoding it into out when it closes the block; a block is
// received when its closing line is read.
void takeLine(const std::string &text, long lineNumber, Block &block, Output &out, Tally &tally) {
    if (text == "---") {
        if (block.open) {
            tally.refuse(nullptr, lineText(block.line), "dump not closed by +++", 0);
        }
        block.open = true;
        block.badHex = false;
        block.line = lineNumber;
        block.bytes.clear();
    } else if (block.open && text == "+++") {
        block.open = false;
        if (block.badHex) {
            tally.refuse(nullptr, lineText(block.line), "not valid hex", 0);
            return;
        }
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const std::string where = lineText(block.line);
        decodeOne(block.bytes.data(), static_cast<int>(block.bytes.size()),
                  Arrival{"-", where, nullptr, receivedText(now), 0}, out, tally);
    } else if (block.open && appendHexLine(text.c_str(), block.bytes) != 0) {
        block.badHex = true;
    }
}

} // namespace

int dumpLoop(const Options &options) {
    Output out(options.json, options.heartbeats);
    out.appendHeader();
    Tally tally;
    Block block;
    long lineNumber = 0;
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    bool ok = out.flush(nullptr);
    while (ok && (length = getline(&line, &capacity, stdin)) >= 0) {
        std::string text(line, static_cast<size_t>(length));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        takeLine(text, ++lineNumber, block, out, tally);
        ok = out.flush(nullptr);
    }
    int error = errno;
    free(line);
    if (!ok) {
        return outputFailed(tally, out, strerror(error));
    }
    if (ferror(stdin) != 0) {
        fprintf(stderr, "%s: cannot read input: %s\n", programName, strerror(error));
        tally.printSummary(out);
        return 1;
    }
    if (block.open) {
        tally.refuse(nullptr, lineText(block.line), "dump not closed by +++", 0);
    }
    tally.printSummary(out);
    return tally.refused > 0 ? 1 : 0;
}

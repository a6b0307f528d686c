// station-decode: the receiving end of station-reporter. Listens for report datagrams on UDP,
// or reads the reporter's hex dumps, and prints one line per record, as CSV or JSON lines.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "report_decode.h"

namespace {

constexpr const char *USAGE =
    "usage: station-decode listen [ADDRESS:]PORT [--json] [--count N] [--reuseport]\n"
    "       station-decode dump [--json]\n";
constexpr const char *CSV_HEADER = "from,record,apmac,mumac,timestamp,rssi,channel,assoc\n";
constexpr int BATCH = 64;
// Room for the largest report and more: a datagram cut short here is refused for its length.
constexpr int RECEIVE_SIZE = 2048;
constexpr int RECEIVE_BUFFER = 4 << 20;

struct Options {
    bool listen = false;
    bool json = false;
    bool reusePort = false;
    long count = 0;            // 0: no limit
    bool everyAddress = false; // no address given: IPv6 and IPv4, or IPv4 alone without IPv6
    sockaddr_storage address{};
    socklen_t addressLength = 0;
};

struct Tally {
    long reports = 0;
    long records = 0;
    long refused = 0;
};

// ---- Output ------------------------------------------------------------------------------

// The lines of one batch, written out in one go. Formatted by hand: a busy server spends most
// of its time here.
class Output {
  public:
    // Room for count more lines of at most LINE bytes besides the sender's text.
    char *reserve(size_t lines, size_t fromLength) {
        size_t need = used_ + lines * (LINE + fromLength);
        if (need > text_.size()) {
            text_.resize(need * 2);
        }
        return text_.data() + used_;
    }
    void commit(const char *end) { used_ = static_cast<size_t>(end - text_.data()); }
    void append(const std::string &line) { commit(put(reserve(1, line.size()), line)); }

    // Best-effort: a reader that went away is noticed by the caller through the status.
    bool flush() {
        bool ok = used_ == 0 || fwrite(text_.data(), 1, used_, stdout) == used_;
        used_ = 0;
        return fflush(stdout) == 0 && ok;
    }

    static char *put(char *at, const std::string &text) { return at + text.copy(at, text.size()); }
    template <size_t N> static char *put(char *at, const char (&literal)[N]) {
        memcpy(at, literal, N - 1);
        return at + N - 1;
    }
    static char *putInt(char *at, int32_t value) {
        char digits[12];
        char *end = digits + sizeof digits;
        char *p = end;
        uint32_t magnitude =
            value < 0 ? 0U - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
        do {
            *--p = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) {
            *at++ = '-';
        }
        memcpy(at, p, static_cast<size_t>(end - p));
        return at + (end - p);
    }
    static char *putMac(char *at, const char (&mac)[MAC_TEXT_SIZE]) {
        memcpy(at, mac, MAC_TEXT_SIZE - 1);
        return at + MAC_TEXT_SIZE - 1;
    }

  private:
    static constexpr size_t LINE = 160; // the longest JSON line, less its sender
    std::vector<char> text_ = std::vector<char>(1 << 16);
    size_t used_ = 0;
};

char *putCsv(char *p, const std::string &from, int number, const DecodedRecord &r) {
    p = Output::put(p, from);
    *p++ = ',';
    p = Output::putInt(p, number);
    *p++ = ',';
    p = Output::putMac(p, r.apmac);
    *p++ = ',';
    p = Output::putMac(p, r.mumac);
    *p++ = ',';
    p = Output::putInt(p, r.timestamp);
    *p++ = ',';
    p = Output::putInt(p, r.rssi);
    *p++ = ',';
    p = Output::putInt(p, r.channel);
    *p++ = ',';
    p = Output::putInt(p, r.assoc);
    *p++ = '\n';
    return p;
}

char *putJson(char *p, const std::string &from, int number, const DecodedRecord &r) {
    p = Output::put(p, "{\"from\":\"");
    p = Output::put(p, from);
    p = Output::put(p, "\",\"record\":");
    p = Output::putInt(p, number);
    p = Output::put(p, ",\"apmac\":\"");
    p = Output::putMac(p, r.apmac);
    p = Output::put(p, "\",\"mumac\":\"");
    p = Output::putMac(p, r.mumac);
    p = Output::put(p, "\",\"timestamp\":");
    p = Output::putInt(p, r.timestamp);
    p = Output::put(p, ",\"rssi\":");
    p = Output::putInt(p, r.rssi);
    p = Output::put(p, ",\"channel\":");
    p = Output::putInt(p, r.channel);
    p = Output::put(p, ",\"assoc\":");
    p = Output::putInt(p, r.assoc);
    return Output::put(p, "}\n");
}

// Appends one line per record of report, from the sender named by from.
void appendRecords(Output &out, const DecodedReport &report, const std::string &from, bool json) {
    char *p = out.reserve(static_cast<size_t>(report.count), from.size());
    for (int i = 0; i < report.count; ++i) {
        p = json ? putJson(p, from, i + 1, report.records[i])
                 : putCsv(p, from, i + 1, report.records[i]);
    }
    out.commit(p);
}

// Decodes one datagram into out, or says on stderr why it was refused; where names the
// datagram there.
void decodeOne(const uint8_t *bytes, int length, const std::string &from, const std::string &where,
               const Options &options, Output &out, Tally &tally) {
    DecodedReport report;
    char reason[DECODE_REASON_SIZE];
    if (decodeReport(bytes, length, report, reason) != 0) {
        fprintf(stderr, "station-decode: %s: %s\n", where.c_str(), reason);
        ++tally.refused;
        return;
    }
    ++tally.reports;
    tally.records += report.count;
    appendRecords(out, report, from, options.json);
}

void printSummary(const Tally &tally) {
    fprintf(stderr, "station-decode: %ld reports decoded, %ld records printed, %ld refused\n",
            tally.reports, tally.records, tally.refused);
}

// A reader that went away ends the run: there is nobody left to decode for.
int outputFailed(const Tally &tally) {
    fprintf(stderr, "station-decode: cannot write output: %s\n", strerror(errno));
    printSummary(tally);
    return 1;
}

// ---- Addresses ---------------------------------------------------------------------------

// "127.0.0.1:40000", "[::1]:40000"; an IPv4 sender seen on a dual-stack socket as IPv4.
std::string addressText(const sockaddr_storage &address) {
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (address.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
        inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        port = ntohs(v4.sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
    port = ntohs(v6.sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        inet_ntop(AF_INET, v6.sin6_addr.s6_addr + 12, host, sizeof host);
        return std::string(host) + ":" + std::to_string(port);
    }
    inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

// Decimal digits only, within 0..limit. Returns -1 otherwise.
long parseNumber(const char *text, long limit) {
    if (*text == '\0' || strspn(text, "0123456789") != strlen(text) || strlen(text) > 9) {
        return -1;
    }
    long value = strtol(text, nullptr, 10);
    return value <= limit ? value : -1;
}

// [ADDRESS:]PORT with ADDRESS an IPv4 literal or a bracketed IPv6 one; no address means every
// IPv6 and IPv4 address. Returns -1 when the text is none of these.
int parseListenAddress(const std::string &text, Options &options) {
    std::string host;
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find("]:");
        if (close == std::string::npos) {
            return -1;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (text.find(':') != std::string::npos) {
        host = text.substr(0, text.rfind(':'));
        port = text.substr(text.rfind(':') + 1);
    }
    long number = parseNumber(port.c_str(), 65535);
    if (number < 0) {
        return -1;
    }
    options.address = sockaddr_storage{};
    if (!host.empty() && text[0] != '[') {
        auto &v4 = reinterpret_cast<sockaddr_in &>(options.address);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(number));
        options.addressLength = sizeof v4;
        return inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1 ? 0 : -1;
    }
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(options.address);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(number));
    options.addressLength = sizeof v6;
    if (host.empty()) {
        v6.sin6_addr = in6addr_any;
        options.everyAddress = true;
        return text[0] == '[' ? -1 : 0;
    }
    return inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1 ? 0 : -1;
}

// ---- Listening ---------------------------------------------------------------------------

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

// Opens the UDP socket and binds it. Returns the descriptor, or -1 with the reason on stderr.
int openListener(Options options) {
    int fd = socket(options.address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 && errno == EAFNOSUPPORT && options.everyAddress) {
        // A kernel without IPv6: every IPv4 address, then.
        auto &v4 = reinterpret_cast<sockaddr_in &>(options.address);
        uint16_t port = reinterpret_cast<sockaddr_in6 &>(options.address).sin6_port;
        options.address = sockaddr_storage{};
        v4.sin_family = AF_INET;
        v4.sin_port = port;
        v4.sin_addr.s_addr = htonl(INADDR_ANY);
        options.addressLength = sizeof v4;
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    const auto *address = reinterpret_cast<const sockaddr *>(&options.address);
    const int on = 1;
    const int off = 0;
    if (fd >= 0 && address->sa_family == AF_INET6) {
        // Without an address, one socket takes IPv4 senders too.
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (fd >= 0) {
        // Room for bursts: the kernel caps this at net.core.rmem_max. Best-effort.
        const int bytes = RECEIVE_BUFFER;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    if (fd >= 0 && options.reusePort) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    }
    if (fd < 0 || bind(fd, address, options.addressLength) != 0) {
        fprintf(stderr, "station-decode: cannot listen on %s: %s\n",
                addressText(options.address).c_str(), strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
    fprintf(stderr, "station-decode: listening on %s\n", addressText(bound).c_str());
    return fd;
}

// Waits until fd is readable or a stop signal arrives; the signals are blocked everywhere
// else, so none can slip in between the check and the wait.
bool waitReadable(int fd, const sigset_t &unblocked) {
    pollfd entry{fd, POLLIN, 0};
    while (stopRequested == 0) {
        if (ppoll(&entry, 1, nullptr, &unblocked) > 0) {
            return true;
        }
    }
    return false;
}

// How many datagrams to take at once: a whole batch, or what remains of a --count limit.
unsigned int batchSize(long limit, long received) {
    if (limit > 0 && limit - received < BATCH) {
        return static_cast<unsigned int>(limit - received);
    }
    return BATCH;
}

int listenLoop(const Options &options) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigset_t unblocked;
    sigprocmask(SIG_BLOCK, &stops, &unblocked);
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    int fd = openListener(options);
    if (fd < 0) {
        return 1;
    }
    Output out;
    out.append(options.json ? "" : CSV_HEADER);
    if (!out.flush()) {
        close(fd);
        return outputFailed(Tally{});
    }
    std::vector<uint8_t> buffers(static_cast<size_t>(BATCH) * RECEIVE_SIZE);
    mmsghdr messages[BATCH];
    iovec vectors[BATCH];
    sockaddr_storage senders[BATCH];
    Tally tally;
    long received = 0;
    std::string from;
    sockaddr_storage last{};
    socklen_t lastLength = 0;
    while ((options.count == 0 || received < options.count) && waitReadable(fd, unblocked)) {
        unsigned int want = batchSize(options.count, received);
        for (unsigned int i = 0; i < want; ++i) {
            vectors[i] = {buffers.data() + static_cast<size_t>(i) * RECEIVE_SIZE, RECEIVE_SIZE};
            messages[i].msg_hdr = msghdr{};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int got = recvmmsg(fd, messages, want, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < got; ++i) {
            // The sender's text is made once for a run of datagrams from one sender.
            socklen_t length = messages[i].msg_hdr.msg_namelen;
            if (length != lastLength || memcmp(&senders[i], &last, length) != 0) {
                memcpy(&last, &senders[i], length);
                lastLength = length;
                from = addressText(senders[i]);
            }
            if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
                fprintf(stderr, "station-decode: %s: longer than any report\n", from.c_str());
                ++tally.refused;
                continue;
            }
            decodeOne(static_cast<const uint8_t *>(vectors[i].iov_base),
                      static_cast<int>(messages[i].msg_len), from, from, options, out, tally);
        }
        received += got > 0 ? got : 0;
        if (!out.flush()) {
            return outputFailed(tally);
        }
    }
    close(fd);
    printSummary(tally);
    return 0;
}

// ---- Dump mode ---------------------------------------------------------------------------

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

int dumpLoop(const Options &options) {
    Output out;
    out.append(options.json ? "" : CSV_HEADER);
    Tally tally;
    std::vector<uint8_t> bytes;
    bool inBlock = false;
    bool badHex = false;
    long lineNumber = 0;
    long blockLine = 0;
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    auto refuse = [&tally](long at, const char *why) {
        fprintf(stderr, "station-decode: -: line %ld: %s\n", at, why);
        ++tally.refused;
    };
    while ((length = getline(&line, &capacity, stdin)) >= 0) {
        ++lineNumber;
        std::string text(line, static_cast<size_t>(length));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (text == "---") {
            if (inBlock) {
                refuse(blockLine, "dump not closed by +++");
            }
            inBlock = true;
            badHex = false;
            blockLine = lineNumber;
            bytes.clear();
        } else if (inBlock && text == "+++") {
            inBlock = false;
            if (badHex) {
                refuse(blockLine, "not valid hex");
            } else {
                decodeOne(bytes.data(), static_cast<int>(bytes.size()), "-",
                          "-: line " + std::to_string(blockLine), options, out, tally);
                if (!out.flush()) {
                    free(line);
                    return outputFailed(tally);
                }
            }
        } else if (inBlock && appendHexLine(text.c_str(), bytes) != 0) {
            badHex = true;
        }
    }
    free(line);
    if (inBlock) {
        refuse(blockLine, "dump not closed by +++");
    }
    if (!out.flush()) {
        return outputFailed(tally);
    }
    printSummary(tally);
    return tally.refused > 0 ? 1 : 0;
}

// ---- Command line ------------------------------------------------------------------------

int usageError(const char *why) {
    fprintf(stderr, "station-decode: %s\n%s", why, USAGE);
    return -1;
}

int parseOptions(int argc, char **argv, Options &options) {
    if (argc < 2) {
        return usageError("no mode given");
    }
    std::string mode = argv[1];
    int next = 2;
    if (mode == "listen") {
        if (argc < 3 || parseListenAddress(argv[2], options) != 0) {
            return usageError("listen needs [ADDRESS:]PORT, ADDRESS an IPv4 or [IPv6] literal");
        }
        options.listen = true;
        next = 3;
    } else if (mode != "dump") {
        return usageError("unknown mode");
    }
    for (int i = next; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--json") {
            options.json = true;
        } else if (options.listen && option == "--reuseport") {
            options.reusePort = true;
        } else if (options.listen && option == "--count" && i + 1 < argc &&
                   parseNumber(argv[i + 1], 999999999) > 0) {
            options.count = parseNumber(argv[++i], 999999999);
        } else {
            return usageError(("bad option " + option).c_str());
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (parseOptions(argc, argv, options) != 0) {
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    return options.listen ? listenLoop(options) : dumpLoop(options);
}

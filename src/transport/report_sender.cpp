#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include "debug_log.h"
#include "hex_dump.h"
#include "report_sender.h"

int sendReport(const char *host, int port, const StationRecord *records, int count) {
    sockaddr_in server;
    memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    // Network order whatever the host's: the low 16 bits of port, high byte first.
    auto *portBytes = reinterpret_cast<uint8_t *>(&server.sin_port);
    portBytes[0] = static_cast<uint8_t>(port >> 8);
    portBytes[1] = static_cast<uint8_t>(port);
    // Only the first length bytes are ever read, and all of them are written here.
    uint8_t datagram[MAX_REPORT_SIZE];
    int length = assembleReport(records, count, datagram);
    // An unconvertible host would leave the all-zeros address, which Linux delivers
    // to this very machine: refuse it rather than report a false success. A count beyond
    // the datagram is refused the same way.
    if (length < 0 || inet_aton(host, &server.sin_addr) == 0) {
        DEBUG_LOG(DBG_ERROR, "Can not sendto server");
        return -1;
    }

    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        DEBUG_LOG(DBG_ERROR, "Can not create socket");
        return -1;
    }
    hexDump(datagram, length);

    size_t size = static_cast<size_t>(length);
    ssize_t sent =
        sendto(sock, datagram, size, 0, reinterpret_cast<const sockaddr *>(&server), sizeof server);
    // The socket stays open until the process ends, which follows at once.
    // A datagram cut short is as bad as none: the server would misread it.
    if (sent < 0 || static_cast<size_t>(sent) != size) {
        DEBUG_LOG(DBG_ERROR, "Can not sendto server");
        return -1;
    }
    return 0;
}

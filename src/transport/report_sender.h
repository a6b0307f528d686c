// Sending one report datagram to the server.
#pragma once

#include "report_format.h"

// Writes bytes to stdout as upper-case hex, 16 bytes a line, between a "---" and a
// "+++" line. A length of 0 or less gives only those two lines and an empty one.
void hexDump(const uint8_t *bytes, int length);

// Prefixes the count records with a header, dumps the datagram to stdout and sends it
// once over UDP to host (dotted IPv4) and the low 16 bits of port.
// Returns 0 when the whole datagram was handed to the network stack, -1 on failure.
int sendReport(const char *host, int port, const StationRecord *records, int count);

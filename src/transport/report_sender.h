// Sending one report datagram to the server.
#pragma once

#include "report_format.h"

// Assembles the count records into a datagram, dumps it to stdout and sends it once over UDP
// to host (dotted IPv4) and the low 16 bits of port.
// Returns 0 when the whole datagram was handed to the network stack, -1 on failure.
int sendReport(const char *host, int port, const StationRecord *records, int count);

// Reading station-decode's output: CSV (with its header) or JSON lines, one record or
// heartbeat a line.
#pragma once

#include "mac_text.h"
#include "presence_state.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace presence {

enum class Parsed { Sighting, Skip, Refused };

constexpr std::size_t kMaxLine = 4096; // station-decode's lines are about 200 bytes

// Receive times a line may carry, in Unix seconds: from 2000-01-01 up to, not including,
// 2100-01-01. Anything else is no server's clock, and cannot overflow a time in milliseconds.
constexpr int64_t kReceivedFrom = 946684800;
constexpr int64_t kReceivedUntil = 4102444800;

// Fills s from one line (without its newline). Skip is a blank line or the CSV header;
// Refused sets why.
Parsed parseLine(std::string_view line, Sighting &s, std::string &why);
// The same without the quick reader of the usual CSV record line: what parseLine must agree
// with on every line.
Parsed parseLineCarefully(std::string_view line, Sighting &s, std::string &why);

// "127.0.0.1:40000" and "[fe80::1%eth0]:40000" without the port; "-" as it is.
std::string senderAddress(std::string_view from);

} // namespace presence

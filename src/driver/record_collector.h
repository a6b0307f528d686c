// Turning the observations of one run into the records of its report.
#pragma once

#include "observation_reader.h"
#include "report_format.h"

// Reads observations from input until MAX_RECORDS are encoded into records or the input
// ends, tracing each one kept. Malformed lines are skipped and logged by their number, the
// first ten one by one and any further ones as a count at the end; a failed read ends the
// input early with an error. Returns the records encoded.
int collectRecords(InputReader &input, StationRecord (&records)[MAX_RECORDS]);

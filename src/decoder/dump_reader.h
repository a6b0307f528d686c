// station-decode dump: the reporter's hex dumps read back from standard input.
#pragma once

#include "options.h"

// Decodes every block from a "---" line to a "+++" line. Returns the exit status: 1 when a
// block was refused.
int dumpLoop(const Options &options);

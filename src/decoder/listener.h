// station-decode listen: the UDP socket, the signals that end it, batched receiving.
#pragma once

#include "options.h"

// Receives and decodes until the count is reached or SIGINT/SIGTERM. Returns the exit status.
int listenLoop(const Options &options);

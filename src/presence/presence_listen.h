// Receiving the access points' datagrams in this process, through station-decode's own
// receiving loop, its lines handed straight to the pipeline.
#pragma once

#include "options.h"
#include "presence_pipeline.h"

#include <functional>

namespace presence {

// Receives and decodes as station-decode listen does (heartbeats always on), until
// SIGINT/SIGTERM, the count, or the database fails; SIGHUP calls reload. Returns the exit
// status after finish(): 1 when the kernel dropped datagrams or the pipeline failed.
int listen(const ::Options &receiving, Pipeline &pipeline, std::function<void()> reload);

} // namespace presence

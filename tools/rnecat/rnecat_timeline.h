// rnecat's views over several RNE files at once: the events of every thread
// in one time order, as text (--merge) or as a Trace Event document
// (--trace-event) that trace viewers show as one track per thread.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "shared/eventlog/rnereader.h"

struct RneSource {
    std::string path;
    RneLog log;
    bool whole = false;
};

// The header of every file whose header could be read, then every event of
// all of them oldest first, each line with the thread id after the time.
void rnecat_print_merged(FILE* out, const std::vector<RneSource>& sources);

// One JSON document in the Trace Event "JSON Object Format".
void rnecat_print_trace_events(FILE* out, const std::vector<RneSource>& sources);

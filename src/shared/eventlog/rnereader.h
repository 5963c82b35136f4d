// Reading event logs back: an RNE file (or a file backing a log, which has
// the same layout), or a live ThreadLog of this process.
//
// The records are found by walking backwards from the write position, each
// record's last word giving its type and the words before it its lengths;
// clock records on the way supply the counter's high word of the records
// before them.  After a wrap the walk goes on from the wrap mark down to the
// newer lap's write position, recovering what is left of the older lap.
//
// Input is never trusted: every length and offset is checked against the
// bytes at hand, a damaged record ends the walk with an error and the events
// recovered so far, and nothing is read outside the given buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/eventlog/zolta.h"

struct RneEvent {
    uint32_t type = 0;
    std::string name;      // empty for types 20 and 21
    bool has_text = false; // text types: false for a null text
    std::string text;
    uint64_t value = 0;    // 32-bit or 64-bit value types
    uint32_t extra = 0;    // types 18 and 19
    uint64_t counter = 0;  // full 64-bit counter value
    uint64_t offset = 0;   // record start, from the data start
    bool older_lap = false;
};

struct RneLog {
    uint32_t thread_id = 0;
    uint64_t data_size = 0;  // the log's data region size, from the wrap limit
    uint64_t write_offset = 0;
    uint64_t wrap_offset = 0;  // wrap mark from the data start; 0 if never wrapped
    bool wrapped = false;
    bool busy = false;
    bool writing_file = false;
    uint64_t start_time_ns = 0;
    uint64_t dump_time_ns = 0;
    uint64_t start_counter = 0;
    uint64_t dump_counter = 0;
    std::string program_path;
    std::vector<RneEvent> events;  // oldest first
    uint64_t clock_records = 0;
    std::string error;  // empty when the whole log was read
};

// Decodes an RNE file held in memory.  Returns true when every record was
// read; false with `error` set otherwise (the header fields and the events
// recovered before the damage are still filled in).
bool rne_parse(const void* bytes, size_t size, RneLog* out);

// Reads and decodes a file.
bool rne_read_file(const char* path, RneLog* out);

// Decodes a live log of this process (normally the calling thread's own).
bool rne_read_thread_log(const ThreadLog* log, RneLog* out);

// Converts a counter value to nanoseconds since 1970 UTC through the start
// and dump pairs.  False when the log has no usable dump pair.
bool rne_counter_to_unix_ns(const RneLog& log, uint64_t counter, int64_t* ns);

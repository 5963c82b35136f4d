// Test seams of the event log.  Production code does not call these.
#pragma once

#include <cstdint>

#include "shared/eventlog/zolta.h"

// The log size that the two size variables' values select (null = unset),
// before the raise to ZOLTA_MAX_RECORD.
uint32_t zolta_parse_log_size(const char* size_value, const char* bytes_value);

// Data-region size of this process's logs; 0 before the first log.
uint32_t zolta_log_size();

// Number of logs currently in the table, and the table's slots (used or
// empty).
int zolta_live_log_count();
int zolta_table_slots();

// Path of the file backing `log`, or null for a heap log (or an unknown one).
const char* zolta_backing_file(const ThreadLog* log);

// Releases every log (without RNE files), forgets the size, the start pair,
// the storage decision and the dump directory, and lets the calling thread
// have a log again.  Only for a process in which no other thread that has a
// log is still alive.
void zolta_reset_for_tests();

// rnecat's output, apart from its command line, so that the fuzz target
// prints whatever the reader recovers from arbitrary bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "shared/eventlog/rnereader.h"

// Prints the header (text form, when the reader got that far; after a blank
// line when `separate`) and every recovered event of the file at `path`.
void rnecat_print(FILE* out, const char* path, const RneLog& log, bool whole, bool json, bool separate);

// The header block alone: file, program, thread, times, wrap, event count.
void rnecat_print_header(FILE* out, const char* path, const RneLog& log);

// False for the reader's errors that come before the header is decoded: a
// file that is not a log at all has no header worth printing.
bool rnecat_header_was_read(bool whole, const RneLog& log);

// The UTC time of `counter` through the start and dump pairs of `clock`
// ("YYYY-MM-DD HH:MM:SS.uuuuuu"), or "counter 0x..." when it has no dump pair.
std::string rnecat_time_text(const RneLog& clock, uint64_t counter);

// The columns after the time of an event line: TYPE(CODE)  NAME  VALUE.
std::string rnecat_event_columns(const RneEvent& e);

// The members of an event's JSON object apart from its times: counter, type,
// kind, name, text or value and hex, extra, older_lap.
std::string rnecat_event_json_members(const RneEvent& e);

const char* rnecat_kind(uint32_t type);

// A name as one whitespace-free token (bytes outside printable ASCII, the
// space and the backslash as \xHH).
std::string rnecat_escape_name(const std::string& s);

// A JSON string; bytes outside printable ASCII as \u00XX.
std::string rnecat_json_string(const std::string& s);

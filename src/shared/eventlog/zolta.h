// Per-thread event logs.
//
// Every thread owns a ring buffer of 32-bit words into which components
// write small named events (a text, a 32-bit or a 64-bit value), each stamped
// with the processor's time-stamp counter.  Writing takes no lock, allocates
// nothing and makes no system call; nothing is formatted.  The log exists to
// be written out as an RNE file (a thread's end with a dump directory set, a
// crash dump) and read back by rnereader.h.  With "ZEP_RNE_DUMP_PATH" set the
// buffer lives in a mapped file in that directory, so its contents reach the
// disk even when the process dies without running a handler.
//
// Record encoding (words in the machine's byte order, little-endian), each
// record ending with its type word so that a reader walks backwards from the
// write position:
//   clock record     [previous counter high][3]
//   32-bit value     [counter low][name field][value][N][type]
//   64-bit value     [counter low][name field][value low][value high][N][type]
//   20, 21           [counter low][value][type]
//   18, 19           [counter low][name field][text field][M<<16 | N][extra][type]
//   text and others  [counter low][name field][text field][M<<16 | N][type]
// A name or text field is the bytes, a NUL and zero padding to a multiple of
// four: 4 * (len / 4 + 1) bytes (N resp. M).  Names are cut at 255 bytes,
// texts at 16383; a null text has M = 0 and no words.
#pragma once

#include <cstddef>
#include <cstdint>

enum ZoltaType : uint32_t {
    ZOLTA_TYPE_CLOCK = 3,
    ZOLTA_TYPE_TEXT = 4,
    ZOLTA_TYPE_U32 = 6,         // 6 to 11: one value word
    ZOLTA_TYPE_U32_LAST = 11,
    ZOLTA_TYPE_ADDRESS = 12,    // 12 to 17: two value words
    ZOLTA_TYPE_INTEGER = 14,
    ZOLTA_TYPE_U64_LAST = 17,
    ZOLTA_TYPE_TEXT_EXTRA = 18, // 18, 19: text plus the caller's extra word
    ZOLTA_TYPE_TEXT_EXTRA_LAST = 19,
    ZOLTA_TYPE_BARE = 20,       // 20, 21: a value word without a name
    ZOLTA_TYPE_BARE_LAST = 21,
};

constexpr uint32_t ZOLTA_HEADER_SIZE = 5816;
constexpr uint32_t ZOLTA_PATH_SIZE = 4096;
constexpr uint32_t ZOLTA_MAX_NAME = 255;
constexpr uint32_t ZOLTA_MAX_TEXT = 16383;
// The largest record (a text event with the caller's extra word and the
// longest name and text) together with the clock record before it.  A record
// that starts at or below the wrap limit, data start + size - this, fits.
constexpr uint32_t ZOLTA_MAX_RECORD = 16664;
constexpr uint32_t ZOLTA_DEFAULT_LOG_SIZE = 10485760;
// Smallest size the size variables accept.  Sizes from here up to
// ZOLTA_MAX_RECORD are raised to ZOLTA_MAX_RECORD when the log is made, so
// that the data start never lies above the wrap limit.
constexpr uint32_t ZOLTA_MIN_LOG_SIZE = 16656;

// The header block of a log.  It is written to RNE files byte for byte, so
// its layout is a file format (little-endian); the address fields hold
// addresses in the writing process, from which a reader recovers offsets by
// subtracting the data start.
struct ThreadLog {
    uint8_t format[3];        // 0x12, 2, 'D'
    uint8_t zero0[13];
    uint64_t write_pos;       // address where the next record starts
    uint8_t busy;             // 1 while an event is being written
    uint8_t zero1[7];
    uint64_t data_start;      // address of the first byte of the data region
    uint64_t wrap_limit;      // data start + size - ZOLTA_MAX_RECORD
    uint32_t counter_high;    // counter high word in force for the newest record
    uint32_t thread_id;       // owning thread
    uint64_t wrap_mark;       // write position at the latest wrap, 0 before
    uint8_t handed_out;       // 1 once the log has been handed out
    uint8_t zero2[7];
    uint8_t writing_file;     // 1 while the log is being written to an RNE file
    uint8_t reserved;
    uint8_t zero3[6];
    uint64_t start_time_ns;   // ns since 1970 UTC at the process's first log
    uint64_t dump_time_ns;    // ns since 1970 UTC at the last RNE write, 0 before
    uint64_t start_counter;   // counter at the process's first log
    uint64_t dump_counter;    // counter at the last RNE write, 0 before
    uint64_t zero4;
    char program_path[ZOLTA_PATH_SIZE];  // the executable, NUL-padded
    uint8_t zero5[1600];
};
static_assert(sizeof(ThreadLog) == ZOLTA_HEADER_SIZE, "ThreadLog header is 5816 bytes");
static_assert(offsetof(ThreadLog, write_pos) == 16, "write position at 16");
static_assert(offsetof(ThreadLog, busy) == 24, "busy flag at 24");
static_assert(offsetof(ThreadLog, data_start) == 32, "data start at 32");
static_assert(offsetof(ThreadLog, wrap_limit) == 40, "wrap limit at 40");
static_assert(offsetof(ThreadLog, counter_high) == 48, "counter high at 48");
static_assert(offsetof(ThreadLog, thread_id) == 52, "thread id at 52");
static_assert(offsetof(ThreadLog, wrap_mark) == 56, "wrap mark at 56");
static_assert(offsetof(ThreadLog, handed_out) == 64, "handed-out flag at 64");
static_assert(offsetof(ThreadLog, writing_file) == 72, "file-writing flag at 72");
static_assert(offsetof(ThreadLog, reserved) == 73, "reserved byte at 73");
static_assert(offsetof(ThreadLog, start_time_ns) == 80, "start time at 80");
static_assert(offsetof(ThreadLog, dump_time_ns) == 88, "dump time at 88");
static_assert(offsetof(ThreadLog, start_counter) == 96, "start counter at 96");
static_assert(offsetof(ThreadLog, dump_counter) == 104, "dump counter at 104");
static_assert(offsetof(ThreadLog, program_path) == 120, "program path at 120");

// The calling thread's log, created on first use; null when the thread has
// none and none can be made (also after the thread's log was released).  A
// newly created log comes back with its busy flag set.
ThreadLog* ZOLTA_GetThreadLog();

// Writes one record to the calling thread's log, creating the log first.
// Dropped silently when no log can be had or the log is busy (an event
// started inside another event of the same thread).  `name` must not be
// null; `value` points at the 32-bit or 64-bit value, or is the text itself
// (may be null) for text types.  errno is preserved.
void ZOLTA_LogEvent(const char* name, const void* value, uint32_t type, uint32_t extra);

void ZOLTA_LogText(const char* name, const char* text);
void ZOLTA_LogU32(const char* name, uint32_t value);
void ZOLTA_LogAddress(const char* name, uint64_t value);
void ZOLTA_LogInteger(const char* name, uint64_t value);

// Makes sure the calling thread has a log, ready for events.
ThreadLog* ZOLTA_StartThreadLog();

// Replaces the process-wide dump directory by a copy of `path` (null clears
// it).  While one is set, every thread's log is written there as an RNE file
// when the thread ends.
void ZOLTA_SetDumpDirectory(const char* path);

// Writes the calling thread's log as an RNE file into `directory`; nothing
// when the thread has no log.
void ZOLTA_DumpAllRNEFiles(const char* directory);

// Releases a log at its thread's end (the per-thread slot's destructor):
// writes it to the dump directory when one is set, then frees it, or unmaps
// and deletes its backing file.
void ZOLTA_ThreadEnd(void* log);

// Writes one RNE file "<directory>/<pid>_<thread id>.rne": the header with
// dump time, dump counter and file-writing flag filled in, then the data.
// Returns 1 when the file was opened and written, 0 otherwise.
int ZOLTA_WriteRNEFile(const char* directory, ThreadLog* log, uint32_t pid);

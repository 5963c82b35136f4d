// What every fuzz target shares: program ends that come back, silenced
// diagnostics, and per-input release of what the code under test allocated.
//
// The runtime ends the program on any refusal (ExitHook, status 1 or 3).  In
// a fuzzer that would end the run at the first malformed input, so each input
// runs under the tests' trap (support/harness.h: trap_status), where a
// program end comes back as a status: a clean refusal is a pass, and only a
// crash, a sanitizer report, a failed assertion, a leak or a hang is a
// finding.
//
// A refusal leaves behind the blocks its frames would have released further
// on (plain allocations that no destructor owns), and the tool keeps its
// tables until exit by design; both would make every run grow.  The targets
// are therefore linked with
// -Wl,--wrap=malloc,calloc,realloc,free: between fuzz_track_begin and
// fuzz_track_end every block the fuzzing thread gets from the C allocator is
// recorded, and what is still live at the end is released.  On a run that
// returned normally, a target may instead count what is left as a leak.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/harness.h"

// Once per process, from LLVMFuzzerInitialize: replaces the message hooks
// (a failed assertion is a finding at once) and the descriptor write of the
// out-of-memory report, sends
// the stderr stream to /dev/null (libFuzzer and the sanitizers keep their
// own handle on the real standard error) and sets a program name.
void fuzz_setup();

// Allocation tracking of the calling thread (see above).
void fuzz_track_begin();
// Stops tracking; returns how many tracked blocks were still live and
// releases them.
size_t fuzz_track_end();

// Writes a finding to the real standard error and aborts.
[[noreturn]] void fuzz_finding(const char* what, const std::string& detail);

// A file backed by memory (memfd) whose /proc/self/fd path can be opened by
// name, as the tool opens its files.
class FuzzFile {
public:
    FuzzFile();
    void set(const uint8_t* data, size_t size);
    const char* path() const { return path_; }
    int fd() const { return fd_; }

private:
    int fd_;
    char path_[64];
};

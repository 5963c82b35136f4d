// Crash reports: when the program fails, the failing thread's event log is
// written as an RNE file "<dir>/<pid>_<tid>.rne" and one line on standard
// error says where it is.
//
// With "ZEP_RNE_DUMP_PATH" set (made absolute, and written back so that
// child processes inherit the absolute form) the directory is created at
// set-up, the fatal-signal handlers are installed, every thread's log is
// written there at the thread's end and the exiting thread's at normal exit.
// Without it only an assertion failure dumps, into a fresh
// "ZEP_RNE_<host>_<user>_<pid>_NNNN" under the temporary directory.  Nothing
// here reports its own failures: a dump that cannot be written is omitted,
// and the abort line is printed only for a file that was written.
//
// On POSIX the handlers are SA_SIGINFO handlers: SIGILL, SIGFPE and SIGSEGV
// log the fault address ("EXCEPTION_RECORD__ExceptionAddress") and the
// instruction pointer ("CONTEXT_RECORD__Rip") before the signal event, then
// dump with the reason "aborted" and end through ExitHook with status 1.
// SIGBUS stands in for an unhandled processor exception: it is described as
// an exception record (code: the signal number, flags: si_code, address:
// si_addr, no parameters) and a context holding only the instruction
// pointer, goes through RNEDump_ExceptionFilter ("caught an unhandled
// signal") and ends at once with status 1, without exit handlers.
#pragma once

#include <cstdint>

// Once per process, run by gen_init as its last service step.  Installs the
// abort dump as AbortDumpHook, through which a failed assertion asks for it.
void RNEDump_Setup();

// Writes the calling thread's log into the dump directory (or the fallback
// directory) and prints the abort line; `reason` null reads "encountered an
// error".  `place`, when given, receives the directory used (the
// process-wide text, not a copy), or null when nothing was written.
void RNEDump_DoOnAbortDump(const char** place, const char* reason);

// The exit-time dump (registered with atexit when a dump directory is set).
void RNEDump_DumpIfEnabled();

void RNEDump_InstallHandlers();

// Logs the signal number, dumps with the reason "aborted" and ends the
// program with status 1.
void RNEDump_SignalHandler(int signal);

// A processor exception as the unhandled-exception path sees it, modelled on
// the Windows exception and context records.
constexpr uint32_t RNEDUMP_MAX_PARAMETERS = 15;
struct RNEDumpExceptionRecord {
    uint32_t code;
    uint32_t flags;
    uint64_t address;
    uint32_t parameter_count;  // entries of `parameters` in use (at most 15 are read)
    uint64_t parameters[RNEDUMP_MAX_PARAMETERS];
};
struct RNEDumpContextRecord {
    uint64_t rip;
    bool has_branch_records;  // false: only rip is known
    uint64_t last_branch_to_rip;
    uint64_t last_branch_from_rip;
    uint64_t last_exception_to_rip;
    uint64_t last_exception_from_rip;
};
struct RNEDumpExceptionPointers {
    const RNEDumpExceptionRecord* exception_record;  // may be null
    const RNEDumpContextRecord* context_record;      // may be null
};

// Logs the records, dumps with the reason "caught an unhandled signal" and
// returns 1: the caller lets the process end without further reporting.
int RNEDump_ExceptionFilter(const RNEDumpExceptionPointers* pointers);

// Test seams: the dump directory and the fallback directory chosen at
// set-up (null when there is none).
const char* rnedump_dump_path();
const char* rnedump_fallback_dir();

// Crash reports: the fatal-signal handlers and the unhandled-exception
// filter, installed by RNEDump_Setup when a dump directory is set.
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

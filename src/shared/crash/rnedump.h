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
// The fatal-signal handlers and the unhandled-exception filter, which the
// set-up installs, are in rnedump_handlers.h.
#pragma once

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

// Test seams: the dump directory and the fallback directory chosen at
// set-up (null when there is none).
const char* rnedump_dump_path();
const char* rnedump_fallback_dir();

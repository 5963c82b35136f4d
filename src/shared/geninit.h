// Start-up: gen_init prepares the process, records the program's name and
// path, and starts the runtime's services in a fixed order.
//
// It sits on top of the runtime: the services it starts (the switch
// registry, the main thread's event log, view-path lookup, the crash
// reports) are built on the layers below it and never call back into it.
#pragma once

#include <cstddef>
#include <cstdint>

void gen_init(const char* path, int32_t reserved, int32_t viewpath);

// Each service gen_init starts is reached through a pointer, initialised to
// the service's start routine, so that tests can watch or leave out a step
// without touching gen_init's order; a null pointer skips its step (the
// service is then not marked started).
using GenSwitchStartFn = void (*)(int32_t* argc, char** argv);
using GenServiceStartFn = void (*)();
extern GenSwitchStartFn GenSwitchStartHook;        // GSwitch_Initialize
extern GenServiceStartFn GenThreadLogStartHook;    // ZOLTA_StartThreadLog
extern GenServiceStartFn GenCrashReportSetupHook;  // RNEDump_Setup

// The steps of gen_init, in the order it takes them.
enum GenInitStep : int {
    GEN_INIT_MODULE_PATH = 1,  // the given path was not absolute
    GEN_INIT_BINARY_MODE,
    GEN_INIT_NAMES,
    GEN_INIT_SWITCHES,        // switch registry started (first time only)
    GEN_INIT_THREAD_LOG,      // main thread's event log started (first time only)
    GEN_INIT_VIEWPATH,
    GEN_INIT_CRASH_REPORTS,   // crash-report set-up ran
};
// The steps the most recent gen_init took, in order, so that tests (and a
// debugger) can see the start-up sequence.  Returns the count.
size_t gen_init_steps(const GenInitStep** steps);

// Start-up: gen_init records the program's name and path and starts the
// runtime services in a fixed order.
//
// The order matters: the switch registry must see the program path (its
// switch file lives beside the executable), the event log must exist before
// anything is traced into it, view-path lookup must be settled before the
// crash-report set-up looks for its dump directory.  Start-up is the one
// part of the runtime that names the services it starts (as the start
// hooks' initial values below); none of them names start-up back.
#include "shared/geninit.h"

#include "platform/platform.h"
#include "shared/crash/rnedump.h"
#include "shared/eventlog/zolta.h"
#include "shared/genmem.h"
#include "shared/genstr.h"
#include "shared/gensys.h"
#include "shared/gswitch/gen_switch.h"
#include "shared/viewpath/viewpath.h"

namespace {
void start_thread_log() { ZOLTA_StartThreadLog(); }
}  // namespace

// A null hook is a service this program does not have.
GenSwitchStartFn GenSwitchStartHook = GSwitch_Initialize;
GenServiceStartFn GenThreadLogStartHook = start_thread_log;
GenServiceStartFn GenCrashReportSetupHook = RNEDump_Setup;

namespace {

// Large enough for any path the platform hands back for the running module.
constexpr size_t kModuleNameSize = 4097;

bool g_switches_started = false;
bool g_thread_log_started = false;

GenInitStep g_steps[16];
size_t g_step_count = 0;

void record(GenInitStep step) {
    if (g_step_count < sizeof g_steps / sizeof g_steps[0]) g_steps[g_step_count++] = step;
}

}  // namespace

void gen_init(const char* path, int32_t /*reserved*/, int32_t viewpath) {
    g_step_count = 0;

    // Memory priority and the socket library, first, before anything else
    // runs (nothing to do on POSIX).
    plat_prepare_process();

    char* module = nullptr;
    if (!gen_isabsolute(path)) {
        module = static_cast<char*>(AllocHook(kModuleNameSize, 1));
        plat_module_file_name(module, kModuleNameSize);
        path = module;
        record(GEN_INIT_MODULE_PATH);
    }

    plat_set_binary_mode();
    record(GEN_INIT_BINARY_MODE);

    gen_setprogpath(path);
    record(GEN_INIT_NAMES);

    // The registry sees only the program path: the tool parses its own
    // arguments, and none of them may be taken for a switch.
    if (!g_switches_started && GenSwitchStartHook != nullptr) {
        int32_t argc = 1;
        // The registry may move entries of the vector, never write into them.
        char* argv[2] = {const_cast<char*>(gen_getprogpath()), nullptr};
        GenSwitchStartHook(&argc, argv);
        g_switches_started = true;
        record(GEN_INIT_SWITCHES);
    }

    if (!g_thread_log_started && GenThreadLogStartHook != nullptr) {
        GenThreadLogStartHook();
        g_thread_log_started = true;
        record(GEN_INIT_THREAD_LOG);
    }

    gen_viewpathing(viewpath);
    record(GEN_INIT_VIEWPATH);

    if (GenCrashReportSetupHook != nullptr) {
        GenCrashReportSetupHook();
        record(GEN_INIT_CRASH_REPORTS);
    }

    FreeHook(module);
}

size_t gen_init_steps(const GenInitStep** steps) {
    if (steps != nullptr) *steps = g_steps;
    return g_step_count;
}

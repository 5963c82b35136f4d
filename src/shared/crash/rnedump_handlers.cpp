// Crash reports: the fatal-signal handlers and the unhandled-exception
// filter.
//
// The platform hands every fault over as a PlatFaultInfo on the faulting
// thread.  Only one thread reports: a fault on a second thread while the
// first is still writing its dump waits for the first to end the process,
// and a fault inside the report itself (of a different signal; the same one
// is back at its default by then) ends the process at once.
#include "shared/crash/rnedump_handlers.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "platform/platform.h"
#include "shared/crash/rnedump.h"
#include "shared/eventlog/zolta.h"
#include "shared/genexit.h"

namespace {

std::atomic<uint32_t> g_reporting_thread{0};

void enter_report() {
    const uint32_t self = plat_thread_id();
    uint32_t expected = 0;
    if (g_reporting_thread.compare_exchange_strong(expected, self)) return;
    if (expected == self) plat_quick_exit(1);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

void on_fatal_signal(const PlatFaultInfo* info) {
    enter_report();
    ZOLTA_LogAddress("EXCEPTION_RECORD__ExceptionAddress", info->fault_address);
    if (info->has_instruction_pointer) ZOLTA_LogAddress("CONTEXT_RECORD__Rip", info->instruction_pointer);
    RNEDump_SignalHandler(info->signal);
}

void on_unhandled_exception(const PlatFaultInfo* info) {
    enter_report();
    RNEDumpExceptionRecord record = {};
    record.code = static_cast<uint32_t>(info->signal);
    record.flags = static_cast<uint32_t>(info->code);
    record.address = info->fault_address;
    record.parameter_count = info->parameter_count < RNEDUMP_MAX_PARAMETERS ? info->parameter_count
                                                                             : RNEDUMP_MAX_PARAMETERS;
    for (uint32_t i = 0; i < record.parameter_count; ++i) record.parameters[i] = info->parameters[i];
    RNEDumpContextRecord context = {};
    context.rip = info->instruction_pointer;
    context.has_branch_records = info->has_branch_records;
    context.last_branch_to_rip = info->last_branch_to_rip;
    context.last_branch_from_rip = info->last_branch_from_rip;
    context.last_exception_to_rip = info->last_exception_to_rip;
    context.last_exception_from_rip = info->last_exception_from_rip;
    const RNEDumpExceptionPointers pointers = {&record, info->has_instruction_pointer ? &context : nullptr};
    RNEDump_ExceptionFilter(&pointers);
    // The filter's answer means "the process ends here": no exit handlers,
    // as for an exception the platform would have ended the process for.
    plat_quick_exit(1);
}

}  // namespace

void RNEDump_InstallHandlers() {
    static const int kSignals[] = {SIGILL, SIGFPE, SIGSEGV};
    for (const int signal : kSignals) plat_install_fatal_signal_handler(signal, on_fatal_signal);
    plat_install_fatal_signal_handler(PLAT_UNHANDLED_EXCEPTION_SIGNAL, on_unhandled_exception);
}

void RNEDump_SignalHandler(int signal) {
    ZOLTA_LogInteger("rnedump_abort_signal", static_cast<uint64_t>(signal));
    RNEDump_DoOnAbortDump(nullptr, "aborted");
    gen_call_exit_hook(1);
}

int RNEDump_ExceptionFilter(const RNEDumpExceptionPointers* pointers) {
    if (pointers != nullptr && pointers->exception_record != nullptr) {
        const RNEDumpExceptionRecord& r = *pointers->exception_record;
        ZOLTA_LogInteger("EXCEPTION_RECORD__ExceptionCode", r.code);
        ZOLTA_LogInteger("EXCEPTION_RECORD__ExceptionFlags", r.flags);
        ZOLTA_LogAddress("EXCEPTION_RECORD__ExceptionAddress", r.address);
        const uint32_t n = r.parameter_count < RNEDUMP_MAX_PARAMETERS ? r.parameter_count : RNEDUMP_MAX_PARAMETERS;
        for (uint32_t i = 0; i < n; ++i) ZOLTA_LogAddress("EXCEPTION_RECORD__ExceptionParameters", r.parameters[i]);
    }
    if (pointers != nullptr && pointers->context_record != nullptr) {
        const RNEDumpContextRecord& c = *pointers->context_record;
        ZOLTA_LogAddress("CONTEXT_RECORD__Rip", c.rip);
        if (c.has_branch_records) {
            ZOLTA_LogAddress("CONTEXT_RECORD__LastBranchToRip", c.last_branch_to_rip);
            ZOLTA_LogAddress("CONTEXT_RECORD__LastBranchFromRip", c.last_branch_from_rip);
            ZOLTA_LogAddress("CONTEXT_RECORD__LastExceptionToRip", c.last_exception_to_rip);
            ZOLTA_LogAddress("CONTEXT_RECORD__LastExceptionFromRip", c.last_exception_from_rip);
        }
    }
    RNEDump_DoOnAbortDump(nullptr, "caught an unhandled signal");
    return 1;
}

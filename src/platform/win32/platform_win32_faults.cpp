// Windows fatal-fault handling: the C runtime's signals 4, 8 and 11 for
// raised signals, and the process's unhandled-exception filter for processor
// exceptions.
//
// The filter hands an exception that corresponds to one of the signals
// (access violation, illegal instruction, arithmetic fault) to that signal's
// handler when one is installed, with the address and instruction pointer a
// POSIX signal would carry; every other exception goes to the handler of
// PLAT_UNHANDLED_EXCEPTION_SIGNAL with the whole exception record and the
// context's branch records.  A handler is used once: a second fault finds
// nothing installed and the process ends the system's way.
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr int kSignalLimit = 32;
std::atomic<PlatFaultHandler> g_handlers[kSignalLimit];
std::atomic<PlatFaultHandler> g_unhandled{nullptr};

// The signal that stands for an exception code, 0 for none.
int signal_of(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION: return SIGSEGV;
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION: return SIGILL;
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_UNDERFLOW: return SIGFPE;
        default: return 0;
    }
}

void on_raised_signal(int signal) {
    // The C runtime has put the signal back to its default already.
    const PlatFaultHandler handler = signal > 0 && signal < kSignalLimit ? g_handlers[signal].exchange(nullptr) : nullptr;
    if (handler == nullptr) return;
    PlatFaultInfo fault = {};
    fault.signal = signal;
    handler(&fault);
}

LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers != nullptr ? pointers->ExceptionRecord : nullptr;
    const CONTEXT* context = pointers != nullptr ? pointers->ContextRecord : nullptr;
    PlatFaultInfo fault = {};
    if (context != nullptr) {
        fault.instruction_pointer = context->Rip;
        fault.has_instruction_pointer = true;
    }
    const int signal = record != nullptr ? signal_of(record->ExceptionCode) : 0;
    PlatFaultHandler handler = signal != 0 ? g_handlers[signal].exchange(nullptr) : nullptr;
    if (handler != nullptr) {
        fault.signal = signal;
        fault.fault_address = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
        // An access violation's second parameter is the address it touched.
        if (signal == SIGSEGV && record->NumberParameters >= 2) {
            fault.code = static_cast<int>(record->ExceptionInformation[0]);
            fault.fault_address = record->ExceptionInformation[1];
        }
        handler(&fault);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    handler = g_unhandled.exchange(nullptr);
    if (handler == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    if (record != nullptr) {
        fault.signal = static_cast<int>(record->ExceptionCode);
        fault.code = static_cast<int>(record->ExceptionFlags);
        fault.fault_address = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
        fault.parameter_count = record->NumberParameters;
        if (fault.parameter_count > EXCEPTION_MAXIMUM_PARAMETERS) fault.parameter_count = EXCEPTION_MAXIMUM_PARAMETERS;
        for (uint32_t i = 0; i < fault.parameter_count; ++i) fault.parameters[i] = record->ExceptionInformation[i];
    }
    if (context != nullptr) {
        fault.has_branch_records = true;
        fault.last_branch_to_rip = context->LastBranchToRip;
        fault.last_branch_from_rip = context->LastBranchFromRip;
        fault.last_exception_to_rip = context->LastExceptionToRip;
        fault.last_exception_from_rip = context->LastExceptionFromRip;
    }
    handler(&fault);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

// Not a signal of the C runtime (those are 2, 4, 8, 11, 15, 21 and 22): the
// number SIGBUS has on Linux.
const int PLAT_UNHANDLED_EXCEPTION_SIGNAL = 7;

int plat_install_fatal_signal_handler(int signal, PlatFaultHandler handler) {
    if (handler == nullptr) return 0;
    if (signal == PLAT_UNHANDLED_EXCEPTION_SIGNAL) {
        g_unhandled.store(handler);
        ::SetUnhandledExceptionFilter(on_unhandled_exception);
        return 1;
    }
    if (signal <= 0 || signal >= kSignalLimit) return 0;
    g_handlers[signal].store(handler);
    if (std::signal(signal, on_raised_signal) == SIG_ERR) return 0;
    // Processor exceptions reach the handler through the filter; install
    // it even when no unhandled-exception handler is.
    ::SetUnhandledExceptionFilter(on_unhandled_exception);
    return 1;
}

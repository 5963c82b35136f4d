// Windows fatal-fault handling: the C runtime's signals 4, 8 and 11 for
// raised signals, and the process's unhandled-exception filter for processor
// exceptions.
//
// A processor exception that corresponds to one of the signals (access
// violation, illegal instruction, arithmetic fault) reaches that signal's
// handler, through the C runtime (see note_exception) or through the filter,
// with the address and instruction pointer a POSIX signal would carry; every
// other exception goes to the handler of
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

// What a signal handler reports: the instruction pointer, and the address
// the fault is about (for an access violation, the one it touched).
void describe_signal(PlatFaultInfo* fault, int signal, const EXCEPTION_RECORD* record, const CONTEXT* context) {
    fault->signal = signal;
    if (context != nullptr) {
        fault->instruction_pointer = context->Rip;
        fault->has_instruction_pointer = true;
    }
    if (record == nullptr) return;
    fault->fault_address = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
    if (signal == SIGSEGV && record->NumberParameters >= 2) {
        fault->code = static_cast<int>(record->ExceptionInformation[0]);
        fault->fault_address = record->ExceptionInformation[1];
    }
}

// The C runtime's own frame handler turns a processor exception in the
// program's code into a call of the signal's handler before the exception
// could become unhandled, and that call carries no record.  A vectored
// handler, which sees every exception first, keeps a copy of the last one a
// signal stands for; it decides nothing and lets the search go on.
struct NotedException {
    EXCEPTION_RECORD record;
    CONTEXT context;
    bool has_context;
};
NotedException g_noted;
std::atomic<DWORD> g_noted_thread{0};  // whose copy g_noted is; 0 while it is written

LONG WINAPI note_exception(EXCEPTION_POINTERS* pointers) {
    if (pointers == nullptr || pointers->ExceptionRecord == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    if (signal_of(pointers->ExceptionRecord->ExceptionCode) == 0) return EXCEPTION_CONTINUE_SEARCH;
    g_noted_thread.store(0);
    g_noted.record = *pointers->ExceptionRecord;
    g_noted.record.ExceptionRecord = nullptr;
    g_noted.has_context = pointers->ContextRecord != nullptr;
    if (g_noted.has_context) g_noted.context = *pointers->ContextRecord;
    g_noted_thread.store(::GetCurrentThreadId());
    return EXCEPTION_CONTINUE_SEARCH;
}

void on_raised_signal(int signal) {
    // The C runtime has put the signal back to its default already.
    const PlatFaultHandler handler = signal > 0 && signal < kSignalLimit ? g_handlers[signal].exchange(nullptr) : nullptr;
    // A copy made on this thread for this signal is this fault's; a raise()
    // finds none and reports no addresses (the program handles no processor
    // exception itself, so no stale copy is left for it to borrow).
    const bool noted = g_noted_thread.load() == ::GetCurrentThreadId() &&
                       signal_of(g_noted.record.ExceptionCode) == signal;
    if (handler == nullptr) return;
    PlatFaultInfo fault = {};
    describe_signal(&fault, signal, noted ? &g_noted.record : nullptr,
                    noted && g_noted.has_context ? &g_noted.context : nullptr);
    g_noted_thread.store(0);
    handler(&fault);
}

LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers != nullptr ? pointers->ExceptionRecord : nullptr;
    const CONTEXT* context = pointers != nullptr ? pointers->ContextRecord : nullptr;
    PlatFaultInfo fault = {};
    const int signal = record != nullptr ? signal_of(record->ExceptionCode) : 0;
    PlatFaultHandler handler = signal != 0 ? g_handlers[signal].exchange(nullptr) : nullptr;
    if (handler != nullptr) {
        g_noted_thread.store(0);
        describe_signal(&fault, signal, record, context);
        handler(&fault);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (context != nullptr) {
        fault.instruction_pointer = context->Rip;
        fault.has_instruction_pointer = true;
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
    static const PVOID noting = ::AddVectoredExceptionHandler(1, note_exception);
    (void)noting;
    // Processor exceptions reach the handler through the filter; install
    // it even when no unhandled-exception handler is.
    ::SetUnhandledExceptionFilter(on_unhandled_exception);
    return 1;
}

// POSIX fatal-signal handling: one SA_SIGINFO trampoline that turns the
// kernel's siginfo and machine context into a PlatFaultInfo and hands it to
// the handler installed for that signal.
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr int kSignalLimit = 65;
std::atomic<PlatFaultHandler> g_handlers[kSignalLimit];

bool read_instruction_pointer(const void* context, uint64_t* ip) {
    if (context == nullptr) return false;
    const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__linux__) && defined(__x86_64__)
    *ip = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
    return true;
#elif defined(__linux__) && defined(__i386__)
    *ip = static_cast<uint32_t>(uc->uc_mcontext.gregs[REG_EIP]);
    return true;
#elif defined(__linux__) && defined(__aarch64__)
    *ip = static_cast<uint64_t>(uc->uc_mcontext.pc);
    return true;
#elif defined(__APPLE__) && defined(__x86_64__)
    *ip = static_cast<uint64_t>(uc->uc_mcontext->__ss.__rip);
    return true;
#elif defined(__APPLE__) && defined(__aarch64__)
    *ip = static_cast<uint64_t>(uc->uc_mcontext->__ss.__pc);
    return true;
#else
    (void)uc;
    (void)ip;
    return false;
#endif
}

void trampoline(int signal, siginfo_t* info, void* context) {
    const PlatFaultHandler handler = signal > 0 && signal < kSignalLimit ? g_handlers[signal].load() : nullptr;
    if (handler == nullptr) return;
    PlatFaultInfo fault = {};
    fault.signal = signal;
    if (info != nullptr) {
        fault.code = info->si_code;
        fault.fault_address = reinterpret_cast<uintptr_t>(info->si_addr);
    }
    fault.has_instruction_pointer = read_instruction_pointer(context, &fault.instruction_pointer);
    handler(&fault);
}

}  // namespace

const int PLAT_UNHANDLED_EXCEPTION_SIGNAL = SIGBUS;

int plat_install_fatal_signal_handler(int signal, PlatFaultHandler handler) {
    if (signal <= 0 || signal >= kSignalLimit || handler == nullptr) return 0;
    g_handlers[signal].store(handler);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = trampoline;
    // SA_RESETHAND: a fault inside the handler must not re-enter it.
    action.sa_flags = SA_SIGINFO | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    return ::sigaction(signal, &action, nullptr) == 0 ? 1 : 0;
}

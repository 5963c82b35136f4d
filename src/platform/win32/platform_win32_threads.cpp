// Windows per-thread slots, the time sources and the event-trace clock sync.
//
// Slots with a destructor are fiber-local storage, whose callback runs at
// the end of every thread.  Where the fiber routines are missing, slots fall
// back to thread-local storage, which has no callback: the backend then runs
// the destructors itself from the image's TLS callback at thread detach,
// with a critical section guarding its list of slots.
#include <windows.h>
#include <evntprov.h>

#include <atomic>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/win32_internal.h"
#include "platform/win32/win32_testing.h"

namespace {

Win32Optional g_optional = {};
INIT_ONCE g_resolve_once = INIT_ONCE_STATIC_INIT;
std::atomic<int> g_resolve_state{0};  // without InitOnceExecuteOnce: 0 new, 1 busy, 2 done

template <typename T>
void resolve(T* slot, const char* library, const char* routine) {
    *slot = reinterpret_cast<T>(win32_lookup(library, routine));
}

void resolve_all() {
    Win32Optional o = {};
    resolve(&o.get_precise_time, "kernel32.dll", "GetSystemTimePreciseAsFileTime");
    resolve(&o.fls_alloc, "kernel32.dll", "FlsAlloc");
    resolve(&o.fls_get, "kernel32.dll", "FlsGetValue");
    resolve(&o.fls_set, "kernel32.dll", "FlsSetValue");
    const bool init_once = win32_lookup("kernel32.dll", "InitOnceExecuteOnce") != nullptr;
    o.fibers = init_once && o.fls_alloc != nullptr && o.fls_get != nullptr && o.fls_set != nullptr;
    resolve(&o.event_register, "advapi32.dll", "EventRegister");
    resolve(&o.event_write, "advapi32.dll", "EventWrite");
    resolve(&o.event_unregister, "advapi32.dll", "EventUnregister");
    o.trace = o.event_register != nullptr && o.event_write != nullptr && o.event_unregister != nullptr;
    g_optional = o;
}

BOOL WINAPI resolve_once(PINIT_ONCE, PVOID, PVOID*) {
    resolve_all();
    return TRUE;
}

// --- Thread-local fallback --------------------------------------------------

constexpr int kMaxFallbackSlots = 16;
struct FallbackSlot {
    DWORD index;
    PlatThreadKeyDestructor destructor;
};
CRITICAL_SECTION g_fallback_lock;
std::atomic<bool> g_fallback_lock_ready{false};
FallbackSlot g_fallback[kMaxFallbackSlots];
int g_fallback_count = 0;

void ensure_fallback_lock() {
    static std::atomic<int> state{0};
    int expected = 0;
    if (state.compare_exchange_strong(expected, 1)) {
        ::InitializeCriticalSection(&g_fallback_lock);
        g_fallback_lock_ready = true;
        state = 2;
    }
    while (!g_fallback_lock_ready) ::Sleep(0);
}

// Runs the destructors of the fallback slots for the ending thread, as
// fiber-local storage would: each non-null value once, the slot cleared first.
void run_fallback_destructors() {
    if (!g_fallback_lock_ready) return;
    FallbackSlot slots[kMaxFallbackSlots];
    ::EnterCriticalSection(&g_fallback_lock);
    const int n = g_fallback_count;
    std::memcpy(slots, g_fallback, sizeof(FallbackSlot) * static_cast<size_t>(n));
    ::LeaveCriticalSection(&g_fallback_lock);
    for (int i = 0; i < n; ++i) {
        void* value = ::TlsGetValue(slots[i].index);
        if (value == nullptr || slots[i].destructor == nullptr) continue;
        ::TlsSetValue(slots[i].index, nullptr);
        slots[i].destructor(value);
    }
}

void NTAPI on_tls_event(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_THREAD_DETACH) run_fallback_destructors();
}

bool g_force_thread_local = false;

}  // namespace

// The loader calls the image's TLS callbacks at every thread's start and end;
// the C runtime collects them from these sections.
extern "C" {
__attribute__((section(".CRT$XLY"), used)) PIMAGE_TLS_CALLBACK win32_platform_tls_callback = on_tls_event;
}

void* win32_lookup(const char* library, const char* routine) {
    HMODULE module = ::GetModuleHandleA(library);
    if (module == nullptr) module = ::LoadLibraryA(library);
    return module != nullptr ? reinterpret_cast<void*>(::GetProcAddress(module, routine)) : nullptr;
}

const Win32Optional& win32_optional() {
    using InitOnceFn = BOOL(WINAPI*)(PINIT_ONCE, PINIT_ONCE_FN, PVOID, LPVOID*);
    static const auto init_once = reinterpret_cast<InitOnceFn>(win32_lookup("kernel32.dll", "InitOnceExecuteOnce"));
    if (init_once != nullptr) {
        init_once(&g_resolve_once, resolve_once, nullptr, nullptr);
    } else {
        int expected = 0;
        if (g_resolve_state.compare_exchange_strong(expected, 1)) {
            resolve_all();
            g_resolve_state = 2;
        }
        while (g_resolve_state.load() != 2) ::Sleep(0);
    }
    return g_optional;
}

void win32_system_time(FILETIME* ft) {
    const Win32Optional& o = win32_optional();
    if (o.get_precise_time != nullptr)
        o.get_precise_time(ft);
    else
        ::GetSystemTimeAsFileTime(ft);
}

// Test seam (declared in win32_testing.h): slots made from now on use
// thread-local storage and the backend's own destructor calls.
void plat_win32_force_thread_local_slots(bool on) { g_force_thread_local = on; }

int plat_thread_key_create(PlatThreadKey* key, PlatThreadKeyDestructor destructor) {
    const Win32Optional& o = win32_optional();
    if (o.fibers && !g_force_thread_local) {
        // On x64 there is one calling convention, so the destructor is the
        // callback as it stands.
        const DWORD index = o.fls_alloc(reinterpret_cast<PFLS_CALLBACK_FUNCTION>(destructor));
        if (index == FLS_OUT_OF_INDEXES) return 0;
        *key = index;
        return 1;
    }
    ensure_fallback_lock();
    ::EnterCriticalSection(&g_fallback_lock);
    int ok = 0;
    if (g_fallback_count < kMaxFallbackSlots) {
        const DWORD index = ::TlsAlloc();
        if (index != TLS_OUT_OF_INDEXES) {
            g_fallback[g_fallback_count++] = {index, destructor};
            // Fallback keys are told apart from fiber keys by the top bit.
            *key = index | 0x80000000ul;
            ok = 1;
        }
    }
    ::LeaveCriticalSection(&g_fallback_lock);
    return ok;
}

void* plat_thread_key_get(PlatThreadKey key) {
    if (key & 0x80000000ul) return ::TlsGetValue(static_cast<DWORD>(key & 0x7ffffffful));
    return win32_optional().fls_get(static_cast<DWORD>(key));
}

int plat_thread_key_set(PlatThreadKey key, void* value) {
    if (key & 0x80000000ul) return ::TlsSetValue(static_cast<DWORD>(key & 0x7ffffffful), value) ? 1 : 0;
    return win32_optional().fls_set(static_cast<DWORD>(key), value) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Clock sync for the system trace: the system time at a tick of its clock,
// written as an event that the trace stamps with its own clock.
// ---------------------------------------------------------------------------

namespace {
// The runtime's trace provider.
const GUID kProviderGuid = {0x6b0a7f3e, 0x2c41, 0x4d8e, {0x9a, 0x57, 0x1f, 0x3c, 0x80, 0x4e, 0x62, 0xd5}};
}  // namespace

void plat_trace_clock_sync() {
    const Win32Optional& o = win32_optional();
    if (!o.trace) return;
    ULONGLONG handle = 0;
    if (o.event_register(&kProviderGuid, nullptr, nullptr, &handle) != ERROR_SUCCESS) {
        o.event_unregister(handle);
        return;
    }
    FILETIME first;
    win32_system_time(&first);
    FILETIME now = first;
    bool ticked = false;
    for (int round = 0; round < 250000 && !ticked; ++round) {
        for (int i = 0; i < 8 && !ticked; ++i) {
            win32_system_time(&now);
            ticked = now.dwLowDateTime != first.dwLowDateTime;
        }
    }
    if (ticked) {
        EVENT_DESCRIPTOR descriptor = {};
        descriptor.Keyword = (ULONGLONG{now.dwHighDateTime} << 32) | now.dwLowDateTime;
        o.event_write(handle, &descriptor, 0, nullptr);
    }
    o.event_unregister(handle);
}

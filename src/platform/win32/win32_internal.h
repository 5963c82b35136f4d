// What the files of the Windows backend share: error translation, the file
// status filler, and the system routines that are looked up by name because
// older Windows versions (or wine) lack them.
#pragma once

#include <windows.h>

#include "platform/platform.h"

// errno value for a system error code.
int win32_errno(unsigned long error);

// Fills *out from an open handle: 0, or -1 with errno set.
int win32_fill_stat(void* handle, PlatStat* out);

// File name of a loaded module (null: the executable), as
// plat_module_file_name answers it.
size_t win32_module_file_name(HMODULE module, char* buf, size_t cap);

// The current system time, from the precise source when the system has it.
void win32_system_time(FILETIME* ft);

// Routines resolved once per process by name; null when missing.
struct Win32Optional {
    VOID(WINAPI* get_precise_time)(LPFILETIME);
    DWORD(WINAPI* fls_alloc)(PFLS_CALLBACK_FUNCTION);
    PVOID(WINAPI* fls_get)(DWORD);
    BOOL(WINAPI* fls_set)(DWORD, PVOID);
    ULONG(WINAPI* event_register)(const GUID*, void*, void*, ULONGLONG*);
    ULONG(WINAPI* event_write)(ULONGLONG, const void*, ULONG, void*);
    ULONG(WINAPI* event_unregister)(ULONGLONG);
    bool fibers;  // all four of InitOnceExecuteOnce and the Fls routines found
    bool trace;   // all three event routines found
};
const Win32Optional& win32_optional();

// Any exported routine of a system library, as an untyped pointer that the
// caller casts to the routine's type.
void* win32_lookup(const char* library, const char* routine);

// What each backend (posix/, win32/) hands to the portable platform.cpp:
// the bare system calls behind the overridable call tables, and the few
// descriptor services the portable routines are written over.  Only the
// platform folder includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

// The system's own calls behind PlatCalls and PlatPathCalls (the stream
// calls are standard C and live in platform.cpp).  Transfers longer than the
// system takes at once are cut to what it takes (a short count, as a POSIX
// read or write may give).
long plat_sys_read(int fd, void* buf, size_t count);
long plat_sys_write(int fd, const void* buf, size_t count);
char* plat_sys_getcwd(char* buf, size_t size);
long plat_sys_pread(int fd, void* buf, size_t count, uint64_t offset);
// Opens binary and not inherited by child processes where the system can
// say so at the open.
int plat_sys_open(const char* name, int flags, int perm);
int plat_sys_access(const char* path, int mode);

// The system's own calls behind PlatModuleCalls.
int plat_sys_list_modules(PlatModule* modules, size_t cap, size_t* count);
int plat_sys_module_bounds(PlatModule module, uintptr_t* base, size_t* size);
size_t plat_sys_module_file_name(PlatModule module, char* buf, size_t cap);

// The network host name into buf (cap > 0): 0, or -1 on failure.  A name
// that does not fit may be cut without a terminator.
int plat_sys_gethostname(char* buf, size_t cap);

// Creates one directory: 0, or -1 with errno (EEXIST when anything is at
// the path).  `mode` is ignored where files carry no permission bits.
int plat_sys_mkdir(const char* path, int mode);

// The descriptor under a stream.
int plat_stream_fd(FILE* stream);
// Marks a descriptor as not inherited by child processes.
void plat_fd_set_no_inherit(int fd);

// Copies `text` with its NUL into buf when it is not empty and fits; returns
// its length, or 0 (buf emptied) when it is missing, empty or too long.
size_t plat_copy_text(const char* text, char* buf, size_t cap);

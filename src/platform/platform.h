// The operating-system services the runtime needs, behind one small
// interface.  Callers never include a system header for these.  What is the
// same on every system lives in platform.cpp; a backend per system (posix/,
// win32/) holds only what differs, so a port touches only this folder.
//
// Conventions that differ between platforms live here and nowhere else:
// the separator that normalised paths are written with, the PATH list
// separator and the executable suffix used by program-file tests.
//
// Primitive calls that tests want to fail on purpose (EINTR, short writes,
// ENOSPC, EACCES) go through `plat_calls`, a table of function pointers that
// a test may overwrite and restore; production code never changes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Attribute bits answered by plat_file_attributes, modelled on the Windows
// file-attribute word so that callers can test "exactly the directory bit".
enum : uint32_t {
    PLAT_ATTR_READONLY  = 0x01,
    PLAT_ATTR_DIRECTORY = 0x10,
    PLAT_ATTR_NORMAL    = 0x80,
};

// The subset of a status record the runtime looks at.  `mode` carries the
// classic type bits (0xF000 mask, 0x4000 directory, 0x8000 regular file).
struct PlatStat {
    uint32_t mode;
    int64_t size;
    uint64_t device;  // with inode: equal pairs name the same file
    uint64_t inode;
};

// Overridable primitive calls.  Each behaves like its POSIX namesake,
// including errno on failure.
struct PlatCalls {
    long (*read)(int fd, void* buf, size_t count);
    long (*write)(int fd, const void* buf, size_t count);
    FILE* (*fopen)(const char* name, const char* mode);
    int (*fclose)(FILE* stream);
    size_t (*fwrite)(const void* buf, size_t size, size_t count, FILE* stream);
    char* (*getcwd)(char* buf, size_t size);
    long (*pread)(int fd, void* buf, size_t count, uint64_t offset);
};
extern PlatCalls plat_calls;
// The table as the backend set it up, for tests that restore it.
const PlatCalls& plat_default_calls();

// Path conventions.
extern const char PLAT_PATH_SEPARATOR;       // written by normalisers
extern const char PLAT_PATH_LIST_SEPARATOR;  // between PATH entries
extern const char* const PLAT_EXE_SUFFIX;    // "" or ".exe"
// The platform's own temporary-directory variable, tried after TMP and TEMP
// (nullptr where there is none), and the last-resort temporary directory
// (the root on Windows; /tmp on POSIX, where the root is not writable).
extern const char* const PLAT_TEMP_ENV;
extern const char* const PLAT_TEMP_ROOT;

// File name of the running executable into buf (NUL-terminated).  Returns
// the length written; 0 (buf emptied) on failure and when the name does not
// fit, since a cut name would name another file.
size_t plat_module_file_name(char* buf, size_t cap);

// Attribute query: returns 1 and fills *attrs when the path is known, 0 when
// it does not exist or cannot be examined.
int plat_file_attributes(const char* path, uint32_t* attrs);

// Status query: 0 on success, -1 with errno set on failure.
int plat_stat(const char* path, PlatStat* st);
int plat_fstat(FILE* stream, PlatStat* st);

// Reads at an absolute offset of the stream's file without moving the
// stream (through plat_calls.pread).  Bytes read, 0 at end of file, -1 with
// errno on failure.
long plat_pread(FILE* stream, void* buf, size_t count, uint64_t offset);

// 64-bit stream positioning.
int plat_fseek64(FILE* stream, int64_t offset, int origin);
int64_t plat_ftell64(FILE* stream);

// Makes files opened without a 't' or 'b' letter binary (no newline
// translation).  POSIX streams are always binary.
void plat_set_binary_mode();

// Marks a stream's handle as not inherited by child processes.
void plat_set_no_inherit(FILE* stream);

// Ends the process at once: no atexit handlers, no static destructors.
[[noreturn]] void plat_quick_exit(int status);

// The platform's text for an error number.
const char* plat_strerror(int err);

// ---------------------------------------------------------------------------
// Services for start-up, program location and view-path lookup.

// Descriptor open flags, with the platform's own values, so portable code
// can build a flag word for plat_open / gen_vp_open.
extern const int PLAT_O_RDONLY;
extern const int PLAT_O_WRONLY;
extern const int PLAT_O_RDWR;
extern const int PLAT_O_ACCMODE;  // mask of the three above
extern const int PLAT_O_APPEND;
extern const int PLAT_O_CREAT;
extern const int PLAT_O_TRUNC;

// Overridable descriptor open and access test, for tests that inject EINTR
// or EACCES.  `open` behaves like POSIX open; `access` takes the classic
// mode bits (0 existence, 1 execute, 2 write, 4 read) and answers 0 or -1
// with errno set.
struct PlatPathCalls {
    int (*open)(const char* name, int flags, int perm);
    int (*access)(const char* path, int mode);
};
extern PlatPathCalls plat_path_calls;
const PlatPathCalls& plat_default_path_calls();

// Opens through plat_path_calls.open with the handle marked not inherited
// by child processes.  -1 with errno set on failure.
int plat_open(const char* name, int flags, int perm);
int plat_close(int fd);
int plat_fdstat(int fd, PlatStat* st);
int plat_access(const char* path, int mode);
// Creates one directory level with `mode` (less the umask; Windows has no
// permission bits and ignores it).  0 when it was created or a directory is
// already there; -1 with errno set otherwise, EEXIST when something other
// than a directory is in the way.  Allocates nothing, so the crash reports
// may call it.
int plat_mkdir(const char* path, int mode);
// Removes a file: 0 on success, -1 with errno.
int plat_remove_file(const char* path);
// Sets NAME=value in the process environment: 0, or -1.
int plat_setenv(const char* name, const char* value);

// The full path of a name as the platform sees it (joined to the current
// directory when relative; no links are resolved).  Returns the length
// written; a result of `cap` or more means the buffer was too small (and
// holds nothing useful); 0 on failure.  The caller normalises the text.
size_t plat_full_path_name(const char* path, char* buf, size_t cap);

// The user's logon name, the network host name and the user's roaming
// configuration folder (created when missing), NUL-terminated into buf.
// Each returns the length written, 0 when unknown or when it does not fit.
size_t plat_user_name(char* buf, size_t cap);
size_t plat_host_name(char* buf, size_t cap);
size_t plat_user_config_dir(char* buf, size_t cap);

// ---------------------------------------------------------------------------
// Event-log services: identities, clocks, per-thread slots with a destructor,
// private files and shared file mappings.  The event log calls these only
// when a log is created, released or written out, never per event.
// ---------------------------------------------------------------------------

uint32_t plat_process_id();
// The kernel's id of the calling thread (unique among the live threads of the
// system, so it can name files next to the process id).
uint32_t plat_thread_id();

// Nanoseconds since 1970-01-01 00:00 UTC, at least microsecond resolution.
uint64_t plat_wall_clock_ns();
// A monotonic clock in nanoseconds, for processors without a readable
// time-stamp counter.
uint64_t plat_monotonic_ns();

// A per-thread slot.  The destructor, when given, runs at the end of every
// thread (other than the one that ends the process) whose value is non-null,
// with that value; the slot reads null from then on.
using PlatThreadKey = unsigned long;
using PlatThreadKeyDestructor = void (*)(void* value);
// 1 on success, 0 on failure.
int plat_thread_key_create(PlatThreadKey* key, PlatThreadKeyDestructor destructor);
void* plat_thread_key_get(PlatThreadKey key);
int plat_thread_key_set(PlatThreadKey key, void* value);

// Runs `handler` in the child after every fork(), on its only thread.
void plat_at_fork_child(void (*handler)());

// Creates a new file readable and writable by the owner only (0600) and
// opens it for reading and writing; a file already at the path is removed
// and created anew, and a symbolic link there is never followed.  Returns a
// descriptor, -1 with errno on failure.
int plat_create_private_file(const char* path);
// Opens a file for writing only, creating it owner-only (0600) when absent;
// an existing file is written over from its start, never truncated, and a
// symbolic link is not followed.  Returns a descriptor or -1.
int plat_open_private_for_overwrite(const char* path);
// (plat_close and plat_remove_file, declared above, close and remove them.)

// Gives the open file exactly `size` bytes with its blocks reserved (so that
// a full disk fails here rather than inside a later store) and maps all of it
// readable, writable and shared with the file.  Returns the view or null.
void* plat_map_file(int fd, uint64_t size);
void plat_unmap_file(void* view, uint64_t size);

// ---------------------------------------------------------------------------
// Fatal-signal handling for the crash reports.  The handler runs on the
// faulting thread with what the platform knows about the fault; by then the
// signal's disposition is back to its default, so a second fault of the same
// kind (inside the handler, or a handler that returns and re-executes the
// faulting instruction) ends the process the platform's way instead of
// looping.
// ---------------------------------------------------------------------------

struct PlatFaultInfo {
    int signal;                    // the signal number
    int code;                      // the platform's reason code for it (si_code)
    uint64_t fault_address;        // the address that faulted (si_addr)
    uint64_t instruction_pointer;  // the faulting thread's instruction pointer
    bool has_instruction_pointer;  // false where the context cannot be read
    // What only an unhandled exception on Windows carries: the exception
    // record's parameters and the context's branch records.  Zero elsewhere.
    uint32_t parameter_count;      // entries of `parameters` in use
    uint64_t parameters[15];
    bool has_branch_records;
    uint64_t last_branch_to_rip;
    uint64_t last_branch_from_rip;
    uint64_t last_exception_to_rip;
    uint64_t last_exception_from_rip;
};
using PlatFaultHandler = void (*)(const PlatFaultInfo* info);

// The signal that stands in for an unhandled processor exception: SIGBUS on
// POSIX (a bus error has no other handler in the runtime, and the standard
// signals 4, 8 and 11 are taken by their own handler).  On Windows it names
// the process's unhandled-exception filter, which hands an exception the
// runtime has a signal handler for (access violation 11, illegal
// instruction 4, arithmetic 8) to that handler, and any other to this one
// with `signal` holding the exception code and `code` its flags.
extern const int PLAT_UNHANDLED_EXCEPTION_SIGNAL;

// Installs `handler` for one signal.  1 on success, 0 on failure.
int plat_install_fatal_signal_handler(int signal, PlatFaultHandler handler);

// ---------------------------------------------------------------------------
// Services that only some platforms give meaning to; the others answer
// trivially, so portable code calls them unconditionally.
// ---------------------------------------------------------------------------

// Run first at start-up: raises the process's memory priority and starts
// the socket library where the platform has them (Windows); nothing on
// POSIX.  Results are ignored.
void plat_prepare_process();

// True when a path is anchored without the current directory: a leading
// '/' on POSIX; a leading separator or a drive prefix on Windows.
bool plat_path_is_rooted(const char* path);

// The modules loaded in the process (the executable and its libraries), for
// finding the one whose image holds an address.  Overridable, so that tests
// can make the listing fail, overflow or miss.  On POSIX the runtime is
// always linked statically into the executable, so the list holds the
// executable alone.
using PlatModule = void*;
struct PlatModuleCalls {
    // Fills `modules` with at most `cap` modules, in load order, and *count
    // with how many the process has (which may exceed `cap`).  1, or 0 on
    // failure.
    int (*list)(PlatModule* modules, size_t cap, size_t* count);
    // The first address of a listed module's image and the image's size.
    // 1, or 0 on failure.
    int (*bounds)(PlatModule module, uintptr_t* base, size_t* size);
    // The module's file name, as plat_module_file_name answers it.
    size_t (*file_name)(PlatModule module, char* buf, size_t cap);
};
extern PlatModuleCalls plat_module_calls;
const PlatModuleCalls& plat_default_module_calls();

// The bounds [*begin, *end) of a named section of the running image, where
// the linker collects records such as the switch table.  1 when found, 0
// (and both bounds 0) when not.  Windows walks the image's PE section table,
// whose names hold 8 characters: a longer name never matches.  POSIX finds a
// section through the linker's __start_/__stop_ symbols, which have to be
// named when the backend is built, so it knows "gswitch" only.
int plat_image_section(const char* name, uintptr_t* begin, uintptr_t* end);

// Emits the system trace's clock-sync event (the system time of a clock
// tick, stamped with the trace's own clock) where the platform has a system
// trace (Windows event tracing); nothing on POSIX.
void plat_trace_clock_sync();

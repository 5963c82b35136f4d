// POSIX calls the tests use that the Windows C runtime lacks, for the cross
// build's test targets only (force-included by cmake/windows.cmake; the
// product never sees this file).  Each stands in with the nearest Windows
// service; calls that have none (fork, symbolic links, FIFOs, mmap) fail
// with ENOSYS, and the tests that need them skip themselves on Windows.
#pragma once
#ifdef _WIN32

// M_PI and friends.
#define _USE_MATH_DEFINES

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef SIGBUS
#define SIGBUS 7  // PLAT_UNHANDLED_EXCEPTION_SIGNAL of the Windows backend
#endif
#ifndef BUS_ADRERR
#define BUS_ADRERR 2
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef WNOHANG
#define WNOHANG 1
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) 0
#endif

// The child side of run_in_child: temporary directories made in a child
// are the parent's own (tests/support/child.cpp sets these when linked).
inline const char* (*symkeep_child_tempdir)(size_t index) = nullptr;
inline void (*symkeep_record_tempdir)(const char* path) = nullptr;

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name) != nullptr) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}
inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

inline int mkdir(const char* path, int) { return _mkdir(path); }

inline char* mkdtemp(char* tmpl) {
    static size_t made = 0;
    if (const char* parent = symkeep_child_tempdir ? symkeep_child_tempdir(made) : nullptr) {
        ++made;
        std::strcpy(tmpl, parent);
        return tmpl;
    }
    const size_t len = std::strlen(tmpl);
    if (len < 6) {
        errno = EINVAL;
        return nullptr;
    }
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned seed = static_cast<unsigned>(_getpid()) * 2654435761u;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        for (size_t i = len - 6; i < len; ++i) {
            seed = seed * 1103515245u + 12345u;
            tmpl[i] = kLetters[(seed >> 16) % 36];
        }
        if (_mkdir(tmpl) == 0) {
            ++made;
            if (symkeep_record_tempdir) symkeep_record_tempdir(tmpl);
            return tmpl;
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

inline char* realpath(const char* path, char* resolved) {
    char* out = _fullpath(resolved, path, resolved != nullptr ? 260 : 0);
    if (out == nullptr) return nullptr;
    struct _stat64 st;
    if (_stat64(out, &st) != 0) {
        if (resolved == nullptr) std::free(out);
        return nullptr;
    }
    return out;
}

inline int lstat(const char* path, struct stat* st) { return stat(path, st); }

inline int symlink(const char*, const char*) {
    errno = ENOSYS;
    return -1;
}
inline long readlink(const char*, char*, size_t) {
    errno = ENOSYS;
    return -1;
}
inline int mkfifo(const char*, int) {
    errno = ENOSYS;
    return -1;
}
// Hard links exist on NTFS.  (The system calls are declared as
// <windows.h> declares them, which most tests do not include.)
extern "C" __declspec(dllimport) int __stdcall CreateHardLinkA(const char* to, const char* from,
                                                               struct _SECURITY_ATTRIBUTES* security);
inline int link(const char* from, const char* to) {
    if (CreateHardLinkA(to, from, nullptr)) return 0;
    errno = EACCES;
    return -1;
}
inline unsigned geteuid() { return 0; }
inline unsigned getuid() { return 0; }
// Waits for a signal that never comes: the caller is ended from outside.
extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);
inline int pause() {
    Sleep(0xffffffffu);
    errno = EINTR;
    return -1;
}
inline int fork() {
    errno = ENOSYS;
    return -1;
}

// Close-on-exec is "not inherited" here.
#define F_GETFD 1
#define FD_CLOEXEC 1
extern "C" __declspec(dllimport) int __stdcall GetHandleInformation(void* handle, unsigned long* flags);
inline int fcntl(int fd, int cmd, ...) {
    unsigned long flags = 0;
    const intptr_t handle = _get_osfhandle(fd);
    if (cmd != F_GETFD || handle == -1 || !GetHandleInformation(reinterpret_cast<void*>(handle), &flags)) {
        errno = cmd != F_GETFD ? ENOSYS : EBADF;
        return -1;
    }
    return (flags & 1) != 0 ? 0 : FD_CLOEXEC;  // HANDLE_FLAG_INHERIT
}

#include <cstdint>
size_t plat_host_name(char* buf, size_t cap);
inline int gethostname(char* buf, size_t cap) { return plat_host_name(buf, cap) != 0 ? 0 : -1; }

#endif  // _WIN32

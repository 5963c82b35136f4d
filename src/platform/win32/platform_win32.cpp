// Windows backend of the platform layer: primitive calls, file status,
// stream positioning and modes, identities, clocks, per-thread slots, private
// files and shared mappings.
//
// Streams and descriptors are the C runtime's; whenever a service needs more
// than the runtime offers (file identity, inheritance, mappings) it takes the
// descriptor's system handle.  Every descriptor this backend opens is binary:
// the event log and the tool write exact bytes.
#include "platform/platform.h"
#include "platform/backend.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/win32/win32_internal.h"

static_assert(sizeof(void*) == 8, "the Windows backend is for 64-bit Windows");

long plat_sys_read(int fd, void* buf, size_t count) {
    return static_cast<long>(::_read(fd, buf, count > 0x7fffffffu ? 0x7fffffffu : static_cast<unsigned>(count)));
}
long plat_sys_write(int fd, const void* buf, size_t count) {
    return static_cast<long>(::_write(fd, buf, count > 0x7fffffffu ? 0x7fffffffu : static_cast<unsigned>(count)));
}
char* plat_sys_getcwd(char* buf, size_t size) {
    return ::_getcwd(buf, size > 0x7fffffffu ? 0x7fffffff : static_cast<int>(size));
}

// Windows has no pread: a positioned ReadFile moves the handle's file
// pointer, which the stream's own position is computed from, so the pointer
// is put back afterwards.
long plat_sys_pread(int fd, void* buf, size_t count, uint64_t offset) {
    HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    LARGE_INTEGER zero = {};
    LARGE_INTEGER saved = {};
    if (!::SetFilePointerEx(h, zero, &saved, FILE_CURRENT)) {
        errno = win32_errno(::GetLastError());
        return -1;
    }
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD want = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    const BOOL ok = ::ReadFile(h, buf, want, &got, &at);
    const DWORD error = ok ? 0 : ::GetLastError();
    ::SetFilePointerEx(h, saved, nullptr, FILE_BEGIN);
    if (!ok) {
        if (error == ERROR_HANDLE_EOF) return 0;
        errno = win32_errno(error);
        return -1;
    }
    return static_cast<long>(got);
}

int plat_stream_fd(FILE* stream) { return ::_fileno(stream); }

void plat_fd_set_no_inherit(int fd) {
    const intptr_t h = ::_get_osfhandle(fd);
    if (h != -1) ::SetHandleInformation(reinterpret_cast<HANDLE>(h), HANDLE_FLAG_INHERIT, 0);
}

int win32_errno(unsigned long error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_NAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT: return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_INVALID_HANDLE: return EBADF;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_BUFFER_OVERFLOW:
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        default: return EINVAL;
    }
}

// Type bits from the attribute word; permission bits as the C runtime shows
// them (everyone may read, write unless read-only).
int win32_fill_stat(void* handle, PlatStat* out) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(static_cast<HANDLE>(handle), &info)) {
        errno = win32_errno(::GetLastError());
        return -1;
    }
    const bool dir = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool readonly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    uint32_t mode = dir ? 0x4000u | 0555u : 0x8000u | 0444u;
    if (!readonly) mode |= 0200u;
    out->mode = mode;
    out->size = static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
    // A volume and the file's index on it name one file, whatever path or
    // hard link led to it.
    out->device = info.dwVolumeSerialNumber;
    out->inode = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return 0;
}

const char PLAT_PATH_SEPARATOR = '\\';
const char PLAT_PATH_LIST_SEPARATOR = ';';
const char* const PLAT_EXE_SUFFIX = ".exe";
const char* const PLAT_TEMP_ENV = nullptr;
const char* const PLAT_TEMP_ROOT = "\\";

size_t win32_module_file_name(HMODULE module, char* buf, size_t cap) {
    if (buf == nullptr || cap == 0) return 0;
    const DWORD size = cap > 0x7fffffffu ? 0x7fffffffu : static_cast<DWORD>(cap);
    const DWORD n = ::GetModuleFileNameA(module, buf, size);
    // A cut name is no name: the caller would look for the wrong file.
    if (n == 0 || n >= size) {
        buf[0] = '\0';
        return 0;
    }
    return n;
}

size_t plat_module_file_name(char* buf, size_t cap) { return win32_module_file_name(nullptr, buf, cap); }

int plat_file_attributes(const char* path, uint32_t* attrs) {
    if (path == nullptr) return 0;
    const DWORD a = ::GetFileAttributesA(path);
    if (a == INVALID_FILE_ATTRIBUTES) return 0;
    if (attrs != nullptr) *attrs = a;
    return 1;
}

int plat_stat(const char* path, PlatStat* out) {
    // No access rights asked for: the identity and size are readable even
    // for a file opened elsewhere without sharing; backup semantics let the
    // call open a directory.
    HANDLE h = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = win32_errno(::GetLastError());
        return -1;
    }
    const int rc = win32_fill_stat(h, out);
    ::CloseHandle(h);
    return rc;
}

int plat_fdstat(int fd, PlatStat* out) {
    const intptr_t h = ::_get_osfhandle(fd);
    if (h == -1) {
        errno = EBADF;
        return -1;
    }
    return win32_fill_stat(reinterpret_cast<HANDLE>(h), out);
}

int plat_fseek64(FILE* stream, int64_t offset, int origin) { return ::_fseeki64(stream, offset, origin); }

int64_t plat_ftell64(FILE* stream) { return static_cast<int64_t>(::_ftelli64(stream)); }

void plat_set_binary_mode() {
    // The variable itself: _set_fmode is not in every mingw-w64 runtime.
    _fmode = _O_BINARY;
}

void plat_quick_exit(int status) {
    // Not _exit: ExitProcess would still run the library and fiber-slot
    // callbacks, and a crash report must leave the logs as they are.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(status));
    ::ExitProcess(static_cast<UINT>(status));
}

// ---------------------------------------------------------------------------
// Event-log services.
// ---------------------------------------------------------------------------

uint32_t plat_process_id() { return static_cast<uint32_t>(::GetCurrentProcessId()); }

uint32_t plat_thread_id() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

uint64_t plat_wall_clock_ns() {
    FILETIME ft;
    win32_system_time(&ft);
    const uint64_t ticks = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    // 100 ns ticks since 1601-01-01.
    constexpr uint64_t kUnixEpoch = 116444736000000000ull;
    return ticks < kUnixEpoch ? 0 : (ticks - kUnixEpoch) * 100u;
}

uint64_t plat_monotonic_ns() {
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0) ::QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
    const uint64_t c = static_cast<uint64_t>(now.QuadPart);
    return c / f * 1000000000u + c % f * 1000000000u / f;
}

void plat_at_fork_child(void (*)()) {}

int plat_create_private_file(const char* path) {
    // A leftover of an earlier process with the same ids is removed (a link
    // itself, never its target) and the file made anew.  Others may read it
    // while it is open (a live log can be inspected, as on POSIX) but never
    // write, rename or remove it.
    ::DeleteFileA(path);
    HANDLE h = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = win32_errno(::GetLastError());
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    if (fd < 0) ::CloseHandle(h);
    return fd;
}

int plat_open_private_for_overwrite(const char* path) {
    // The reparse point itself, not what it points to, is opened; anything
    // but a plain disk file is refused.
    HANDLE h = ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = win32_errno(::GetLastError());
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        ::CloseHandle(h);
        errno = EINVAL;
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) ::CloseHandle(h);
    return fd;
}

int plat_remove_file(const char* path) {
    if (::DeleteFileA(path)) return 0;
    errno = win32_errno(::GetLastError());
    return -1;
}

void* plat_map_file(int fd, uint64_t size) {
    if (size == 0 || size > static_cast<uint64_t>(INT64_MAX)) return nullptr;
    HANDLE file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return nullptr;
    }
    // Setting the end of file allocates the blocks, so a full disk fails
    // here rather than inside a later store to the view.
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    LARGE_INTEGER start = {};
    if (!::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !::SetEndOfFile(file)) {
        errno = win32_errno(::GetLastError());
        return nullptr;
    }
    ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                          static_cast<DWORD>(size), nullptr);
    if (mapping == nullptr) {
        errno = win32_errno(::GetLastError());
        return nullptr;
    }
    void* view = ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(size));
    const DWORD error = view == nullptr ? ::GetLastError() : 0;
    // The view holds the mapping open; its handle is not needed any more.
    ::CloseHandle(mapping);
    if (view == nullptr) errno = win32_errno(error);
    return view;
}

void plat_unmap_file(void* view, uint64_t) {
    if (view != nullptr) ::UnmapViewOfFile(view);
}

// The part of the platform layer that is the same on every system: the
// overridable call tables, and the routines whose logic needs nothing of
// the system but the backend's bare calls (backend.h).  A backend holds only
// what differs between systems, so a rule written here holds everywhere.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>

#include "platform/backend.h"

namespace {

FILE* std_fopen(const char* name, const char* mode) { return std::fopen(name, mode); }
int std_fclose(FILE* stream) { return std::fclose(stream); }
size_t std_fwrite(const void* buf, size_t size, size_t count, FILE* stream) {
    return std::fwrite(buf, size, count, stream);
}

// Function addresses are constants: the tables are filled before any
// dynamic initialiser of the program could read them.
constexpr PlatCalls kDefaultCalls = {plat_sys_read, plat_sys_write,  std_fopen,     std_fclose,
                                     std_fwrite,    plat_sys_getcwd, plat_sys_pread};
constexpr PlatPathCalls kDefaultPathCalls = {plat_sys_open, plat_sys_access};
constexpr PlatModuleCalls kDefaultModuleCalls = {plat_sys_list_modules, plat_sys_module_bounds,
                                                 plat_sys_module_file_name};

}  // namespace

PlatCalls plat_calls = kDefaultCalls;
const PlatCalls& plat_default_calls() { return kDefaultCalls; }

PlatPathCalls plat_path_calls = kDefaultPathCalls;
const PlatPathCalls& plat_default_path_calls() { return kDefaultPathCalls; }

PlatModuleCalls plat_module_calls = kDefaultModuleCalls;
const PlatModuleCalls& plat_default_module_calls() { return kDefaultModuleCalls; }

long plat_pread(FILE* stream, void* buf, size_t count, uint64_t offset) {
    for (;;) {
        long n = plat_calls.pread(plat_stream_fd(stream), buf, count, offset);
        if (n >= 0 || errno != EINTR) return n;
    }
}

int plat_fstat(FILE* stream, PlatStat* st) {
    if (stream == nullptr) {
        errno = EBADF;
        return -1;
    }
    return plat_fdstat(plat_stream_fd(stream), st);
}

void plat_set_no_inherit(FILE* stream) {
    if (stream != nullptr) plat_fd_set_no_inherit(plat_stream_fd(stream));
}

int plat_open(const char* name, int flags, int perm) {
    int fd = plat_path_calls.open(name, flags, perm);
    // An injected open need not know how the system marks a descriptor as
    // not inherited: mark it here as well.
    if (fd >= 0) plat_fd_set_no_inherit(fd);
    return fd;
}

int plat_access(const char* path, int mode) { return plat_path_calls.access(path, mode); }

const char* plat_strerror(int err) { return std::strerror(err); }

int plat_mkdir(const char* path, int mode) {
    if (plat_sys_mkdir(path, mode) == 0) return 0;
    // The attribute query may set errno of its own; a caller that is told
    // -1 must still see EEXIST for a file in the way.
    const int saved = errno;
    uint32_t attrs = 0;
    if (saved == EEXIST && plat_file_attributes(path, &attrs) == 1 && (attrs & PLAT_ATTR_DIRECTORY) != 0) return 0;
    errno = saved;
    return -1;
}

size_t plat_host_name(char* buf, size_t cap) {
    if (buf == nullptr || cap == 0) return 0;
    if (plat_sys_gethostname(buf, cap) != 0) {
        buf[0] = '\0';
        return 0;
    }
    buf[cap - 1] = '\0';
    return std::strlen(buf);
}

size_t plat_copy_text(const char* text, char* buf, size_t cap) {
    if (text == nullptr || buf == nullptr || cap == 0) return 0;
    size_t n = std::strlen(text);
    if (n == 0 || n >= cap) {
        buf[0] = '\0';
        return 0;
    }
    std::memcpy(buf, text, n + 1);
    return n;
}

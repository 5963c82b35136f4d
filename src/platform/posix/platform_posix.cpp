// POSIX backend of the platform layer (Linux first; nothing here is
// Linux-only except the /proc lookup of the running executable, which falls
// back to failure elsewhere).
#include "platform/platform.h"
#include "platform/backend.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void fill(PlatStat* out, const struct stat& st) {
    out->mode = static_cast<uint32_t>(st.st_mode);
    out->size = static_cast<int64_t>(st.st_size);
    out->device = static_cast<uint64_t>(st.st_dev);
    out->inode = static_cast<uint64_t>(st.st_ino);
}

}  // namespace

long plat_sys_read(int fd, void* buf, size_t count) { return static_cast<long>(::read(fd, buf, count)); }
long plat_sys_write(int fd, const void* buf, size_t count) { return static_cast<long>(::write(fd, buf, count)); }
char* plat_sys_getcwd(char* buf, size_t size) { return ::getcwd(buf, size); }
long plat_sys_pread(int fd, void* buf, size_t count, uint64_t offset) {
    return static_cast<long>(::pread(fd, buf, count, static_cast<off_t>(offset)));
}

int plat_stream_fd(FILE* stream) { return fileno(stream); }

void plat_fd_set_no_inherit(int fd) {
    int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC)) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

const char PLAT_PATH_SEPARATOR = '/';
const char PLAT_PATH_LIST_SEPARATOR = ':';
const char* const PLAT_EXE_SUFFIX = "";
const char* const PLAT_TEMP_ENV = "TMPDIR";
const char* const PLAT_TEMP_ROOT = "/tmp";

size_t plat_module_file_name(char* buf, size_t cap) {
    if (buf == nullptr || cap == 0) return 0;
    // A full buffer may hold a cut name, which would name the wrong file.
    const ssize_t n = ::readlink("/proc/self/exe", buf, cap);
    if (n <= 0 || static_cast<size_t>(n) >= cap) {
        buf[0] = '\0';
        return 0;
    }
    buf[n] = '\0';
    return static_cast<size_t>(n);
}

int plat_file_attributes(const char* path, uint32_t* attrs) {
    struct stat st;
    if (path == nullptr || ::stat(path, &st) != 0) return 0;
    uint32_t a = 0;
    if (S_ISDIR(st.st_mode)) a |= PLAT_ATTR_DIRECTORY;
    if (::access(path, W_OK) != 0) a |= PLAT_ATTR_READONLY;
    if (a == 0) a = PLAT_ATTR_NORMAL;
    if (attrs != nullptr) *attrs = a;
    return 1;
}

int plat_stat(const char* path, PlatStat* out) {
    struct stat st;
    if (::stat(path, &st) != 0) return -1;
    fill(out, st);
    return 0;
}

int plat_fdstat(int fd, PlatStat* out) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    fill(out, st);
    return 0;
}

int plat_fseek64(FILE* stream, int64_t offset, int origin) {
    return ::fseeko(stream, static_cast<off_t>(offset), origin);
}

int64_t plat_ftell64(FILE* stream) { return static_cast<int64_t>(::ftello(stream)); }

void plat_set_binary_mode() {}

void plat_quick_exit(int status) { ::_exit(status); }

// ---------------------------------------------------------------------------
// Event-log services.
// ---------------------------------------------------------------------------

#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>

static_assert(sizeof(pthread_key_t) <= sizeof(PlatThreadKey), "pthread_key_t must fit a PlatThreadKey");

uint32_t plat_process_id() { return static_cast<uint32_t>(::getpid()); }

uint32_t plat_thread_id() {
#if defined(__linux__)
    return static_cast<uint32_t>(::syscall(SYS_gettid));
#else
    // No kernel thread id to ask for: number the threads in order of asking.
    static uint32_t next = 1;
    static thread_local uint32_t id = __atomic_fetch_add(&next, 1, __ATOMIC_RELAXED);
    return id;
#endif
}

uint64_t plat_wall_clock_ns() {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t plat_monotonic_ns() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

int plat_thread_key_create(PlatThreadKey* key, PlatThreadKeyDestructor destructor) {
    pthread_key_t k;
    if (::pthread_key_create(&k, destructor) != 0) return 0;
    *key = static_cast<PlatThreadKey>(k);
    return 1;
}

void* plat_thread_key_get(PlatThreadKey key) { return ::pthread_getspecific(static_cast<pthread_key_t>(key)); }

int plat_thread_key_set(PlatThreadKey key, void* value) {
    return ::pthread_setspecific(static_cast<pthread_key_t>(key), value) == 0 ? 1 : 0;
}

void plat_at_fork_child(void (*handler)()) { ::pthread_atfork(nullptr, nullptr, handler); }

int plat_create_private_file(const char* path) {
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path, flags, 0600);
    if (fd < 0 && errno == EEXIST) {
        // A leftover of an earlier process with the same ids: replace it
        // rather than write through whatever it is (a link, another owner's
        // file).
        if (::unlink(path) == 0) fd = ::open(path, flags, 0600);
    }
    return fd;
}

int plat_open_private_for_overwrite(const char* path) {
    // Non-blocking, so that a FIFO planted at the name cannot stall a crash
    // handler; anything but a regular file is refused.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int plat_remove_file(const char* path) { return ::unlink(path); }

void* plat_map_file(int fd, uint64_t size) {
    if (size == 0 || size > static_cast<uint64_t>(INT64_MAX)) return nullptr;
    int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (rc == EOPNOTSUPP || rc == EINVAL) rc = ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
    if (rc != 0) {
        errno = rc;
        return nullptr;
    }
    void* view = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : view;
}

void plat_unmap_file(void* view, uint64_t size) {
    if (view != nullptr) ::munmap(view, static_cast<size_t>(size));
}

// ---------------------------------------------------------------------------
// Services with a meaning on other platforms only.
// ---------------------------------------------------------------------------

// The linker defines these for a section whose name is a C identifier.  Weak,
// so that a program without any switch links and finds no section.
extern "C" {
extern char __start_gswitch[] __attribute__((weak));
extern char __stop_gswitch[] __attribute__((weak));
}

void plat_prepare_process() {}

bool plat_path_is_rooted(const char* path) { return path != nullptr && path[0] == '/'; }

// The runtime is linked statically into the executable, so the executable's
// image, from its first byte to the end of its data, is the one module the
// runtime can be in; the shared libraries hold none of its code.
extern "C" {
extern char __executable_start[];
extern char _end[];
}

int plat_sys_list_modules(PlatModule* modules, size_t cap, size_t* count) {
    if (cap > 0) modules[0] = __executable_start;
    *count = 1;
    return 1;
}

// The one module listed is the executable, whatever handle is asked about.
int plat_sys_module_bounds(PlatModule, uintptr_t* base, size_t* size) {
    *base = reinterpret_cast<uintptr_t>(__executable_start);
    *size = static_cast<size_t>(_end - __executable_start);
    return 1;
}

size_t plat_sys_module_file_name(PlatModule, char* buf, size_t cap) { return plat_module_file_name(buf, cap); }

int plat_image_section(const char* name, uintptr_t* begin, uintptr_t* end) {
    *begin = 0;
    *end = 0;
    if (name == nullptr || std::strcmp(name, "gswitch") != 0) return 0;
    if (__start_gswitch == nullptr || __stop_gswitch == nullptr) return 0;
    *begin = reinterpret_cast<uintptr_t>(__start_gswitch);
    *end = reinterpret_cast<uintptr_t>(__stop_gswitch);
    return 1;
}

void plat_trace_clock_sync() {}

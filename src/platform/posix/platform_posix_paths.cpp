// POSIX backend of the start-up, program-location and view-path services:
// descriptor opens that are never inherited, access tests, directory
// creation, the environment, and the user, host and folder queries.
#include "platform/platform.h"
#include "platform/platform_text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int sys_open(const char* name, int flags, int perm) {
    return ::open(name, flags | O_CLOEXEC, static_cast<mode_t>(perm));
}

int sys_access(const char* path, int mode) {
    int m = 0;
    if (mode & 1) m |= X_OK;
    if (mode & 2) m |= W_OK;
    if (mode & 4) m |= R_OK;
    return ::access(path, m == 0 ? F_OK : m);
}

const PlatPathCalls kDefaultPathCalls = {sys_open, sys_access};

}  // namespace

const int PLAT_O_RDONLY = O_RDONLY;
const int PLAT_O_WRONLY = O_WRONLY;
const int PLAT_O_RDWR = O_RDWR;
const int PLAT_O_ACCMODE = O_ACCMODE;
const int PLAT_O_APPEND = O_APPEND;
const int PLAT_O_CREAT = O_CREAT;
const int PLAT_O_TRUNC = O_TRUNC;

PlatPathCalls plat_path_calls = kDefaultPathCalls;
const PlatPathCalls& plat_default_path_calls() { return kDefaultPathCalls; }

int plat_open(const char* name, int flags, int perm) {
    int fd = plat_path_calls.open(name, flags, perm);
    // An injected open may not know about O_CLOEXEC: mark it here as well.
    if (fd >= 0) {
        int fdflags = ::fcntl(fd, F_GETFD);
        if (fdflags >= 0 && !(fdflags & FD_CLOEXEC)) ::fcntl(fd, F_SETFD, fdflags | FD_CLOEXEC);
    }
    return fd;
}

int plat_close(int fd) { return ::close(fd); }

int plat_fdstat(int fd, PlatStat* out) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    out->mode = static_cast<uint32_t>(st.st_mode);
    out->size = static_cast<int64_t>(st.st_size);
    out->device = static_cast<uint64_t>(st.st_dev);
    out->inode = static_cast<uint64_t>(st.st_ino);
    return 0;
}

int plat_access(const char* path, int mode) { return plat_path_calls.access(path, mode); }

int plat_mkdir(const char* path, int mode) { return ::mkdir(path, static_cast<mode_t>(mode)); }

int plat_unlink(const char* path) { return ::unlink(path); }

int plat_setenv(const char* name, const char* value) { return ::setenv(name, value, 1); }

size_t plat_full_path_name(const char* path, char* buf, size_t cap) {
    if (path == nullptr || *path == '\0' || buf == nullptr || cap == 0) return 0;
    size_t pl = std::strlen(path);
    if (path[0] == '/') {
        if (pl >= cap) return pl + 1;
        std::memcpy(buf, path, pl + 1);
        return pl;
    }
    char cwd[4096];
    if (plat_calls.getcwd(cwd, sizeof cwd) == nullptr) return 0;
    size_t cl = std::strlen(cwd);
    bool sep = cl > 0 && cwd[cl - 1] != '/';
    size_t total = cl + (sep ? 1 : 0) + pl;
    if (total >= cap) return total + 1;
    std::memcpy(buf, cwd, cl);
    if (sep) buf[cl] = '/';
    std::memcpy(buf + cl + (sep ? 1 : 0), path, pl + 1);
    return total;
}

size_t plat_user_name(char* buf, size_t cap) {
    struct passwd pw;
    struct passwd* found = nullptr;
    char scratch[4096];
    if (::getpwuid_r(::geteuid(), &pw, scratch, sizeof scratch, &found) == 0 && found != nullptr) {
        size_t n = plat_copy_text(found->pw_name, buf, cap);
        if (n != 0) return n;
    }
    const char* env = std::getenv("LOGNAME");
    if (env == nullptr || *env == '\0') env = std::getenv("USER");
    return plat_copy_text(env, buf, cap);
}

size_t plat_host_name(char* buf, size_t cap) {
    if (buf == nullptr || cap == 0) return 0;
    if (::gethostname(buf, cap) != 0) {
        buf[0] = '\0';
        return 0;
    }
    buf[cap - 1] = '\0';  // gethostname need not terminate a cut name
    return std::strlen(buf);
}

size_t plat_user_config_dir(char* buf, size_t cap) {
    size_t n = 0;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        n = plat_copy_text(xdg, buf, cap);
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home == '\0') return 0;
        size_t hl = std::strlen(home);
        static const char kTail[] = "/.config";
        if (hl + sizeof kTail > cap) return 0;
        std::memcpy(buf, home, hl);
        std::memcpy(buf + hl, kTail, sizeof kTail);
        n = hl + sizeof kTail - 1;
    }
    if (n == 0) return 0;
    struct stat st;
    if (::stat(buf, &st) != 0) {
        if (::mkdir(buf, 0700) != 0 && errno != EEXIST) {
            buf[0] = '\0';
            return 0;
        }
    } else if (!S_ISDIR(st.st_mode)) {
        buf[0] = '\0';
        return 0;
    }
    return n;
}

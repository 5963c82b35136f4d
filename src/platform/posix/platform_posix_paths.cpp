// POSIX backend of the start-up, program-location and view-path services:
// descriptor opens that are never inherited, access tests, directory
// creation, the environment, and the user, host and folder queries.
#include "platform/platform.h"
#include "platform/backend.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

int plat_sys_open(const char* name, int flags, int perm) {
    return ::open(name, flags | O_CLOEXEC, static_cast<mode_t>(perm));
}

int plat_sys_access(const char* path, int mode) {
    int m = 0;
    if (mode & 1) m |= X_OK;
    if (mode & 2) m |= W_OK;
    if (mode & 4) m |= R_OK;
    return ::access(path, m == 0 ? F_OK : m);
}

const int PLAT_O_RDONLY = O_RDONLY;
const int PLAT_O_WRONLY = O_WRONLY;
const int PLAT_O_RDWR = O_RDWR;
const int PLAT_O_ACCMODE = O_ACCMODE;
const int PLAT_O_APPEND = O_APPEND;
const int PLAT_O_CREAT = O_CREAT;
const int PLAT_O_TRUNC = O_TRUNC;

int plat_close(int fd) { return ::close(fd); }

int plat_sys_mkdir(const char* path, int mode) { return ::mkdir(path, static_cast<mode_t>(mode)); }

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

int plat_sys_gethostname(char* buf, size_t cap) { return ::gethostname(buf, cap); }

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

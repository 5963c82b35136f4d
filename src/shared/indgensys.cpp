// Program and environment queries: what the program is called and where it
// lives, the current, home, application-data and temporary directories, the
// user and host names, and directory creation.
//
// Every computed value is worked out on first request and cached for the
// life of the process (the runtime is single-threaded, so no locking).  A
// query that fails is asked again next time rather than caching the failure.
#include "shared/gensys.h"

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "shared/genexit.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "shared/genstr.h"
#include "shared/viewpath/viewpath.h"

TempDirHookFn TempDirHook = gen_gettempdir;

namespace {

constexpr size_t kFullPathSize = 1024;
constexpr size_t kCwdSize = 4096;
constexpr size_t kNameSize = 257;

char* g_progname = nullptr;
char* g_progpath = nullptr;
char* g_progdir = nullptr;
bool g_progdir_warned = false;
char g_cwd[kCwdSize + 1];
char* g_userdir = nullptr;
char g_config_dir[kFullPathSize];
char* g_homedir = nullptr;
char* g_username = nullptr;
char g_hostname[kNameSize];
const char* g_tempdir = nullptr;
bool g_tempdir_owned = false;

// 1 program file, 0 a plain directory, -1 unknown name.  A name without an
// extension is tested with the platform's executable suffix.
int is_program_file(const char* path) {
    if (path == nullptr || *path == '\0') return -1;
    char* probe = gen_getext(path) == nullptr ? gen_strcat2(path, PLAT_EXE_SUFFIX) : gen_strdup(path);
    uint32_t attrs = 0;
    int known = plat_file_attributes(probe, &attrs);
    FreeHook(probe);
    if (!known) return -1;
    return attrs == PLAT_ATTR_DIRECTORY ? 0 : 1;
}

// Candidate from the PATH list, or nullptr.
char* search_path_list(const char* name) {
    const char* list = gen_getenv("PATH", nullptr);
    if (list == nullptr) return nullptr;
    const char* p = list;
    for (;;) {
        const char* end = std::strchr(p, PLAT_PATH_LIST_SEPARATOR);
        size_t n = end ? static_cast<size_t>(end - p) : std::strlen(p);
        char* dir = static_cast<char*>(AllocHook(n + 1, 1));
        std::memcpy(dir, p, n);
        char* candidate = gen_pathjoin(dir, name);
        FreeHook(dir);
        if (is_program_file(candidate) == 1) return candidate;
        FreeHook(candidate);
        if (end == nullptr) return nullptr;
        p = end + 1;
    }
}

// A URL: its first ':' and first '/' both belong to its first "://".
bool is_url(const char* p) {
    const char* mark = std::strstr(p, "://");
    return mark != nullptr && std::strchr(p, ':') == mark && std::strchr(p, '/') == mark + 1;
}

bool usable_dir_env(const char* name) {
    const char* v = gen_getenv(name, nullptr);
    return v != nullptr && gen_isdir(v) == 1;
}

}  // namespace

void gen_setprogpath(const char* path) {
    const char* base = gen_basename(path);
    size_t len = base != nullptr ? std::strlen(base) : 0;
    if (len >= 4 && gen_strequal(base + len - 4, ".exe")) len -= 4;
    char* name = path != nullptr ? static_cast<char*>(AllocHook(len + 1, 1)) : nullptr;
    if (len > 0) std::memcpy(name, base, len);
    char* copy = gen_strdup(path);
    FreeHook(g_progname);
    FreeHook(g_progpath);
    g_progname = name;
    g_progpath = copy;
}

const char* gen_getprogname() { return g_progname; }
const char* gen_getprogpath() { return g_progpath; }

const char* gen_getprogdir() {
    if (g_progdir == nullptr) {
        char* prog = gen_findprog(gen_getprogpath(), 0, 1);
        if (prog != nullptr) {
            g_progdir = gen_dirname(prog);
            FreeHook(prog);
        }
        if (g_progdir == nullptr && !g_progdir_warned) {
            const char* path = gen_getprogpath();
            gen_warning("gen_getprogdir(): for %s returns NULL\n\tmost likely gen_init() was not called with the "
                        "correct argv[0] value",
                        path ? path : "(null)");
            g_progdir_warned = true;
        }
    }
    return g_progdir;
}

char* gen_findprog(const char* name, int search_progdir, int resolve) {
    if (name == nullptr || *name == '\0') return nullptr;
    char* candidate = nullptr;
    if (!gen_isbarename(name)) {
        candidate = gen_abspath(name);
        if (is_program_file(candidate) != 1) {
            FreeHook(candidate);
            return nullptr;
        }
    } else {
        if (search_progdir) {
            const char* dir = gen_getprogdir();
            if (dir != nullptr) {
                char* local = gen_pathjoin(dir, name);
                if (is_program_file(local) == 1) return local;
                FreeHook(local);
            }
        }
        candidate = search_path_list(name);
        if (candidate == nullptr) return nullptr;
    }
    if (!resolve) return candidate;
    char* dir = gen_dirname(candidate);
    char* joined = gen_pathjoin(dir, gen_basename(candidate));
    char* full = gen_fullpath(joined);
    FreeHook(dir);
    FreeHook(joined);
    FreeHook(candidate);
    return full;
}

char* gen_abspath(const char* path) {
    if (path == nullptr) return nullptr;
    if (*path == '\0' || is_url(path)) return gen_strdup(path);
    if (path[0] == '~' && (path[1] == '\0' || gen_issep(path[1]))) {
        const char* home = gen_gethomedir();
        if (home != nullptr) {
            const char* rest = path + 1;
            while (gen_issep(*rest)) ++rest;
            char* out = *rest ? gen_pathjoin(home, rest) : gen_strdup(home);
            return gen_path_normalise(out);
        }
    }
    if (!gen_isabsolute(path)) return gen_pathjoin(gen_getcwd(), path);
    return gen_path_normalise(gen_strdup(path));
}

char* gen_fullpath(const char* path) {
    if (path == nullptr) return nullptr;
    char buf[kFullPathSize];
    size_t n = plat_full_path_name(path, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return gen_strdup(path);
    char* out = gen_strdup(buf);
    gen_path_normalise(out);
    return out;
}

const char* gen_getcwd() {
    if (g_cwd[0] == '\0') {
        if (plat_calls.getcwd(g_cwd, kCwdSize) == nullptr) {
            g_cwd[0] = '\0';
            const char* user = gen_getuserdir();
            if (user == nullptr) gen_fatal_exit(1, "Could not get current working directory.");
            std::strncpy(g_cwd, user, kCwdSize);
        }
        g_cwd[kCwdSize] = '\0';
    }
    return g_cwd;
}

const char* gen_getuserdir() {
    if (g_userdir != nullptr) return g_userdir;
    if (usable_dir_env("APPDATA")) return g_userdir = gen_strdup(gen_getenv("APPDATA", nullptr));
    // The platform's roaming application-data folder.
    if (plat_user_config_dir(g_config_dir, sizeof g_config_dir) != 0) return g_userdir = gen_strdup(g_config_dir);
    if (usable_dir_env("USERPROFILE")) return g_userdir = gen_strdup(gen_getenv("USERPROFILE", nullptr));

    // Last resort: a Users folder beside the program's directory.
    const char users_rel[] = {'.', '.', PLAT_PATH_SEPARATOR, 'U', 's', 'e', 'r', 's', '\0'};
    char* users = gen_pathjoin_or_copy(gen_getprogdir(), users_rel);
    char* user = gen_getusername();
    char* mine = gen_pathjoin_or_copy(users, user ? user : "default");
    if (gen_mkdir(users, 493) == 0 && gen_mkdir(mine, 493) == 0) {
        g_userdir = mine;
        mine = nullptr;
    }
    FreeHook(mine);
    FreeHook(user);
    FreeHook(users);
    return g_userdir;
}

const char* gen_gethomedir() {
    if (g_homedir == nullptr) {
        const char* home = gen_getenv("HOME", nullptr);
        if (home != nullptr) g_homedir = gen_strdup(home);
    }
    return g_homedir;
}

char* gen_getusername() {
    if (g_username == nullptr) {
        char* buf = static_cast<char*>(AllocHook(kNameSize, 1));
        if (plat_user_name(buf, kNameSize) == 0) {
            FreeHook(buf);
            return nullptr;
        }
        g_username = buf;
    }
    return g_username[0] ? gen_strdup(g_username) : nullptr;
}

const char* gen_gethostname() {
    if (g_hostname[0] == '\0') plat_host_name(g_hostname, kNameSize - 1);
    return g_hostname;
}

const char* gen_gettempdir(const char* preferred) {
    if (g_tempdir != nullptr && preferred == nullptr) return g_tempdir;
    if (g_tempdir_owned) FreeHook(const_cast<char*>(g_tempdir));
    g_tempdir = nullptr;
    g_tempdir_owned = false;

    const char* platform_choice = PLAT_TEMP_ENV != nullptr ? gen_getenv(PLAT_TEMP_ENV, nullptr) : nullptr;
    const char* choices[] = {gen_getenv("TMP", nullptr), gen_getenv("TEMP", nullptr), platform_choice, preferred};
    for (const char* dir : choices) {
        if (dir != nullptr && *dir != '\0' && gen_vp_access_nowrite(dir, 4) == 0) {
            // Environment values may move when the environment changes.
            g_tempdir = gen_strdup(dir);
            g_tempdir_owned = true;
            return g_tempdir;
        }
    }
    g_tempdir = gen_access(PLAT_TEMP_ROOT, 0) == 0 ? PLAT_TEMP_ROOT : ".";
    return g_tempdir;
}

int gen_mkdir(const char* path, int mode) {
    if (path == nullptr || *path == '\0') return -1;
    char* normal = gen_normalise_dirpath(path);
    int result = plat_mkdir(normal, mode);
    if (result != 0 && errno == EEXIST) {
        switch (gen_isdir(normal)) {
            case 1: result = 0; break;
            case 0: result = 1; break;
            default: result = -1; break;
        }
    }
    FreeHook(normal);
    return result;
}

// View-path file lookup.
//
// One process-wide state, built once from NVPATH (or NVSRPATH) on the first
// gen_viewpathing call and kept for the life of the process.  Lookups cost
// one existence test when the file is where it was named; only missing
// files walk the lower nodes.  Every answer is a new text owned by the
// caller, and every text built here is sized from its parts, so no value of
// the environment or of a name can write past a buffer: the one fixed
// buffer, the 1024-byte copy of the environment value, takes whole entries
// only and drops those that do not fit.
#include "shared/viewpath/viewpath.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "shared/genexit.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "shared/genstr.h"
#include "shared/gensys.h"

namespace {

constexpr int kMaxNodes = 128;
constexpr size_t kPathTextSize = 1024;
constexpr size_t kMaxNodeLength = 1023;
constexpr size_t kMaxCompathComponents = 128;
constexpr int kOpenTries = 11;
constexpr size_t kCopyBlock = 8192;
// A device that keeps answering EINVAL would otherwise spin for ever.
constexpr int kMaxEinvalRetries = 100;
constexpr int kMaxClimb = 3;

struct ViewPathState {
    char** nodes = nullptr;
    int count = 0;
    bool on = false;
    bool debug = false;
    int options = 0;
    bool slow = true;
    bool pairs = false;
    char* start_dir = nullptr;
    char* alt_root = nullptr;
    bool build_pending = true;
    char path_text[kPathTextSize] = {};
};

ViewPathState g;

#define VP_TRACE(...)                              \
    do {                                           \
        if (g.debug) gen_info(__VA_ARGS__);        \
    } while (0)

bool env_set(const char* name) { return gen_getenv(name, nullptr) != nullptr; }

bool missing_errno(int e) { return e == ENOENT || e == ENOTDIR; }

void free_keep_errno(void* block) {
    int saved = errno;
    FreeHook(block);
    errno = saved;
}

// Length of the entry at the start of `s`: up to the next ':' or ';' or the
// end.  A drive prefix (a letter or digit, ':', then a separator) belongs to
// the entry, so its colon is never taken for a cut point.
size_t entry_length(const char* s) {
    size_t q = 0;
    if (gen_isalnum(static_cast<unsigned char>(s[0])) && s[1] == ':' && gen_issep(s[2])) q = 3;
    while (s[q] != '\0' && s[q] != ':' && s[q] != ';') ++q;
    return q;
}

char* current_directory() {
    for (size_t size = 1024; size <= (1u << 20); size *= 2) {
        char* buf = static_cast<char*>(AllocHook(size, 1));
        if (plat_calls.getcwd(buf, size) != nullptr) return buf;
        FreeHook(buf);
        if (errno != ERANGE) break;
    }
    return nullptr;
}

void add_node(const char* entry) {
    char* node = g.on ? gen_strdup(entry) : gen_fullpath(entry);
    if (std::strlen(node) > kMaxNodeLength) node[kMaxNodeLength] = '\0';
    g.nodes[g.count++] = node;
    VP_TRACE("Adding viewpath node %d: %s", g.count, node);
    if (g.count != 1) return;
    // The top node as the user wrote it also counts as the top node when
    // it differs from the canonical form (a link, a different spelling).
    if (gen_isabsolute(entry) && std::strcmp(entry, node) != 0) {
        if (g.options & 1) {
            VP_TRACE("Ignoring alternate root: %s", entry);
        } else {
            g.alt_root = gen_strdup(entry);
            VP_TRACE("Using alternate root: %s", entry);
        }
    }
}

void turn_on() {
    if (g.on) return;
    int saved = errno;
    V_get_vpath();
    if (g.count > 0) {
        g.start_dir = current_directory();
        g.on = true;
    }
    errno = saved;
}

// "^" and "^/rest" name the top node and a path under it.
char* map_top(const char* name) {
    if (name[0] != '^' || (name[1] != '\0' && !gen_issep(name[1])) || g.count == 0) return gen_strdup(name);
    const char* rest = name[1] ? name + 2 : "";
    while (gen_issep(*rest)) ++rest;
    return *rest ? gen_pathjoin(g.nodes[0], rest) : gen_strdup(g.nodes[0]);
}

// Tests one lower-node candidate.  Returns 1 to answer it, 0 to go on.
int try_candidate(const char* candidate) {
    if (plat_access(candidate, 0) == 0 || !missing_errno(errno)) {
        VP_TRACE("Located file: %s", candidate);
        return 1;
    }
    return 0;
}

// `rel` under nodes 2, 3, ...: the first that answers, or nullptr.
char* search_lower_nodes(const char* rel) {
    for (int i = 1; i < g.count; ++i) {
        char* candidate = gen_pathjoin(g.nodes[i], rel);
        if (try_candidate(candidate)) return candidate;
        free_keep_errno(candidate);
    }
    return nullptr;
}

// The part of `full` under `root`, or nullptr.  Only a root matched to its
// end counts: /a/bc is not inside /a/b.
char* rel_under(const char* root, const char* full) {
    if (root == nullptr || full == nullptr) return nullptr;
    size_t i = 0;
    for (; root[i] != '\0'; ++i)
        if (!gen_pathchar_equal(root[i], full[i])) return nullptr;
    const char* rest = full + i;
    if (*rest != '\0' && !gen_issep(*rest) && !(i > 0 && gen_issep(root[i - 1]))) return nullptr;
    while (gen_issep(*rest)) ++rest;
    return gen_strdup(*rest ? rest : ".");
}

int lookup_mode_for_fopen(const char* mode) {
    bool writing = false;
    for (const char* m = mode; *m != '\0'; ++m) {
        switch (*m) {
            case 'r': case 't': case 'n': case 'b': case 'c': break;
            case 'w': writing = true; break;
            default: return V_LOOKUP_UPDATE;
        }
    }
    if (!writing) return V_LOOKUP_READ;
    return g.slow ? V_LOOKUP_UPDATE : V_LOOKUP_NONE;
}

int lookup_mode_for_open(int flags) {
    int acc = flags & PLAT_O_ACCMODE;
    if (acc == PLAT_O_RDWR || (flags & PLAT_O_APPEND)) return V_LOOKUP_UPDATE;
    if (acc == PLAT_O_WRONLY) return g.slow ? V_LOOKUP_UPDATE : V_LOOKUP_NONE;
    return V_LOOKUP_READ;
}

FILE* fopen_retrying(const char* name, const char* mode) {
    FILE* fp = nullptr;
    for (int tries = 0; tries < kOpenTries; ++tries) {
        errno = 0;
        fp = plat_calls.fopen(name, mode);
        if (fp != nullptr || errno != EINTR) break;
    }
    return fp;
}

int open_retrying(const char* name, int flags, int perm) {
    int fd = -1;
    for (int tries = 0; tries < kOpenTries; ++tries) {
        errno = 0;
        fd = plat_open(name, flags, perm);
        if (fd >= 0 || errno != EINTR) break;
    }
    return fd;
}

// Whole-block copy; false on any failure, errno from the failing call.
bool copy_blocks(int from, int to) {
    char block[kCopyBlock];
    int einval = 0;
    for (;;) {
        long n = plat_calls.read(from, block, sizeof block);
        if (n < 0) {
            if (errno == EINVAL && ++einval <= kMaxEinvalRetries) continue;
            return false;
        }
        if (n == 0) return true;
        for (;;) {
            long w = plat_calls.write(to, block, static_cast<size_t>(n));
            if (w < 0 && errno == EINVAL && ++einval <= kMaxEinvalRetries) continue;
            if (w != n) {
                if (w >= 0) errno = ENOSPC;  // a short write names no error of its own
                return false;
            }
            break;
        }
        einval = 0;
    }
}

}  // namespace

void gen_viewpathing(int mode) {
    if (const char* xsw = gen_getenv("ZEP_VP_XSW", nullptr))
        g.options = static_cast<int>(std::strtol(xsw, nullptr, 10));
    if (env_set("ZEP_VP_DEBUG")) g.debug = true;
    if (mode != 0 && env_set("ZEP_VP_OFF")) {
        VP_TRACE("Disabling viewpathing mode \n\tbecause environment variable (%s) is set.", "ZEP_VP_OFF");
        mode = 0;
    }
    if (mode == 2 && env_set("ZEP_VP_SLOW")) {
        VP_TRACE("Disabling FAST viewpathing mode \n\tbecause environment variable (%s) is set.", "ZEP_VP_SLOW");
        mode = 1;
    }
    switch (mode) {
        case 1:
            VP_TRACE("Viewpathing support is ON (SLOW).");
            g.slow = true;
            turn_on();
            return;
        case 2:
            VP_TRACE("Viewpathing support is ON (FAST).");
            g.slow = false;
            turn_on();
            return;
        case 0:
            break;
        default:
            gen_error("Illegal viewpath option passed to gen_viewpathing");
            break;
    }
    VP_TRACE("Viewpathing support is OFF.");
    gen_viewpathing_off();
}

namespace {
// Releases the node list and what was derived from it.
void release_nodes() {
    for (int i = g.count - 1; i >= 0; --i) FreeHook(g.nodes[i]);
    FreeHook(g.nodes);
    FreeHook(g.start_dir);
    FreeHook(g.alt_root);
    g.nodes = nullptr;
    g.start_dir = nullptr;
    g.alt_root = nullptr;
    g.count = 0;
    g.on = false;
}
}  // namespace

void gen_viewpathing_off() {
    if (g.on) release_nodes();
}

int gen_vp_active() { return g.on && g.count > 0; }

void V_get_vpath() {
    if (!g.build_pending) return;
    g.build_pending = false;
    g.count = 0;
    FreeHook(g.alt_root);
    g.alt_root = nullptr;

    const char* value = gen_getenv("NVPATH", nullptr);
    if (value == nullptr) {
        value = gen_getenv("NVSRPATH", nullptr);
        if (value != nullptr) g.pairs = true;
    }
    if (value == nullptr) {
        g.path_text[0] = '\0';
        return;
    }
    if (g.nodes == nullptr) g.nodes = static_cast<char**>(AllocHook(kMaxNodes, sizeof(char*)));

    // Whole entries are copied into the path text, at the place they have in
    // the value, as long as they fit; the first that does not ends the list.
    size_t i = 0;
    while (value[i] != '\0' && g.count < kMaxNodes) {
        const size_t end = i + entry_length(value + i);
        if (end >= kPathTextSize) break;
        std::memcpy(g.path_text + i, value + i, end - i);
        g.path_text[end] = '\0';
        // An empty entry ("a;;b", a trailing ';') names no tree.
        if (end > i) add_node(g.path_text + i);
        i = value[end] != '\0' ? end + 1 : end;
    }
}

char* V_resolve(const char* name, int lookup_mode) {
    if (name == nullptr) return nullptr;
    if (!g.on || g.count == 0) return gen_strdup(name);
    if (g.pairs) return V_resolve_pairs(name);
    char* path = map_top(name);
    if (lookup_mode == V_LOOKUP_NONE) return path;
    if (plat_access(path, 0) == 0) return path;
    if (lookup_mode == V_LOOKUP_UPDATE) {
        V_copyup(path);
        return path;
    }
    char* rel = V_relpath(path);
    if (rel == nullptr) return path;
    char* found = search_lower_nodes(rel);
    FreeHook(rel);
    if (found == nullptr) return path;
    FreeHook(path);
    return found;
}

char* V_resolve_pairs(const char* name) {
    if (name == nullptr) return nullptr;
    char* full = gen_isabsolute(name) ? gen_strdup(name) : gen_pathjoin(g.start_dir, name);
    for (int i = 0; i + 1 < g.count; i += 2) {
        char* rel = V_relative_to(g.nodes[i], full);
        if (rel == nullptr) continue;
        char* candidate = gen_pathjoin(g.nodes[i + 1], rel);
        FreeHook(rel);
        if (try_candidate(candidate)) {
            free_keep_errno(full);
            return candidate;
        }
        free_keep_errno(candidate);
    }
    return full;
}

char* V_relative_to(const char* root, const char* path) {
    if (!gen_isabsolute(root) || !gen_isabsolute(path)) return nullptr;
    // Longest common leading part that ends at a separator in both (or at
    // the end of one text where the other has a separator or ends too).
    size_t cut = 0;
    bool have_cut = false;
    for (size_t i = 0;; ++i) {
        char a = root[i], b = path[i];
        if (a == '\0' || b == '\0') {
            if ((a == '\0' && (b == '\0' || gen_issep(b))) || (b == '\0' && gen_issep(a))) {
                cut = i;
                have_cut = true;
            }
            break;
        }
        if (!gen_pathchar_equal(a, b)) break;
        if (gen_issep(a)) {
            cut = i + 1;
            have_cut = true;
        }
    }
    if (!have_cut) return nullptr;
    const char* root_rest = root + cut;
    const char* path_rest = path + cut;

    int k = 0;
    if (*root_rest != '\0') {
        size_t rl = std::strlen(root_rest);
        for (size_t i = 0; i < rl; ++i)
            if (gen_issep(root_rest[i])) ++k;
        if (!gen_issep(root_rest[0])) ++k;
        if (gen_issep(root_rest[rl - 1])) --k;
    }
    if (k <= 0) {
        while (gen_issep(*path_rest)) ++path_rest;
        return gen_strdup(*path_rest ? path_rest : ".");
    }
    if (k > kMaxClimb || gen_isabsolute(path_rest)) return nullptr;
    char* up = gen_strdup("..");
    for (int i = 1; i < k; ++i) {
        char* longer = gen_pathjoin(up, "..");
        FreeHook(up);
        up = longer;
    }
    if (*path_rest == '\0') return up;
    char* out = gen_pathjoin(up, path_rest);
    FreeHook(up);
    return out;
}

char* V_relpath(const char* path) {
    if (path == nullptr || g.count == 0) return nullptr;
    char* full = gen_isabsolute(path) ? gen_strdup(path) : V_compath(gen_pathjoin(g.start_dir, path));
    char* rel = rel_under(g.nodes[0], full);
    if (rel == nullptr && g.alt_root != nullptr) rel = rel_under(g.alt_root, full);
    FreeHook(full);
    return rel;
}

// The text must have room for two bytes when it is empty ("." is written);
// every caller here passes a block from gen_pathjoin, which guarantees it.
char* V_compath(char* path) {
    if (path == nullptr) return nullptr;
    const size_t len = std::strlen(path);
    const size_t base = path[0] == '/' ? 1 : 0;
    size_t rest = len;
    size_t w = gen_path_fold(path, base, len, {false, false, kMaxCompathComponents}, &rest);
    if (rest < len) {
        // Too many components: the unread rest stays as it stands after
        // what was rewritten.
        if (w > base) path[w++] = '/';
        std::memmove(path + w, path + rest, len - rest);
        w += len - rest;
        path[w] = '\0';
        gen_error("[V_compath]: too many directory components for \"%s\"", path);
        return path;
    }
    if (w == 0) path[w++] = '.';
    path[w] = '\0';
    return path;
}

int V_copyup(const char* path) {
    if (path == nullptr) return -1;
    if (char* dir = gen_dirname(path)) {
        if (plat_access(dir, 0) != 0) {
            if (gen_vp_access(dir, 0) != 0) {
                free_keep_errno(dir);
                return -1;
            }
            gen_mkdir(dir, 0777);
        }
        free_keep_errno(dir);
    }
    int from = gen_vp_open(path, PLAT_O_RDONLY, 0);
    if (from < 0) return -1;
    PlatStat st;
    int perm = plat_fdstat(from, &st) == 0 ? static_cast<int>(st.mode & 07777) : 0666;
    int to = plat_open(path, PLAT_O_WRONLY | PLAT_O_CREAT, perm | 0222);
    if (to < 0) {
        int saved = errno;
        plat_close(from);
        errno = saved;
        return -1;
    }
    if (copy_blocks(from, to)) {
        VP_TRACE("Copied file to %s", path);
        plat_close(from);
        plat_close(to);
        return 0;
    }
    if (g.debug) gen_fatal("Unable to copy file to %s", path);
    plat_close(from);
    plat_close(to);
    plat_remove_file(path);
    return -1;
}

FILE* gen_vp_fopen(const char* name, const char* mode) {
    if (name == nullptr || mode == nullptr) return nullptr;
    FILE* fp = nullptr;
    if (g.on) {
        char* resolved = V_resolve(name, lookup_mode_for_fopen(mode));
        fp = fopen_retrying(resolved, mode);
        free_keep_errno(resolved);
    } else {
        fp = fopen_retrying(name, mode);
    }
    plat_set_no_inherit(fp);
    return fp;
}

int gen_vp_open(const char* name, int flags, int perm) {
    if (name == nullptr) return -1;
    if (!g.on) return open_retrying(name, flags, perm);
    char* resolved = V_resolve(name, lookup_mode_for_open(flags));
    int fd = open_retrying(resolved, flags, perm);
    free_keep_errno(resolved);
    return fd;
}

int gen_vp_access(const char* name, int mode) {
    if (mode & 1) mode = (mode & ~1) | 4;
    if (name == nullptr) return -1;
    if (!g.on || g.count == 0) return plat_access(name, mode);
    char* path = map_top(name);
    int result = plat_access(path, mode);
    int err = errno;
    if (result != 0 && (mode & 2) && missing_errno(err) && gen_vp_access(path, 0) == 0) {
        FreeHook(path);
        return 0;
    }
    if (result == 0 || !missing_errno(err) || (mode & 2)) {
        FreeHook(path);
        errno = err;
        return result;
    }
    char* rel = V_relpath(path);
    FreeHook(path);
    errno = err;
    if (rel == nullptr) return result;
    for (int i = 1; i < g.count; ++i) {
        char* candidate = gen_pathjoin(g.nodes[i], rel);
        result = plat_access(candidate, mode);
        free_keep_errno(candidate);
        if (result == 0 || !missing_errno(errno)) break;
    }
    free_keep_errno(rel);
    return result;
}

int gen_vp_access_nowrite(const char* name, int mode) { return gen_vp_access(name, mode & ~2); }

int gen_access(const char* name, int mode) {
    if (name == nullptr) return -1;
    return plat_access(name, mode);
}

int gen_vp_fclose(FILE* stream) {
    if (stream == nullptr || gen_exiting()) return 0;
    return plat_calls.fclose(stream);
}

int V_node_count() { return g.count; }
const char* V_node(int i) { return (i >= 1 && i <= g.count) ? g.nodes[i - 1] : nullptr; }
const char* V_alternate_root() { return g.alt_root; }
const char* V_start_directory() { return g.start_dir; }

void V_reset_for_tests() {
    release_nodes();
    g.debug = false;
    g.options = 0;
    g.slow = true;
    g.pairs = false;
    g.build_pending = true;
    g.path_text[0] = '\0';
}

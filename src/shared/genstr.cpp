// Shared text, path and environment routines.
//
// All of them are total: any combination of missing, empty or odd texts
// gives a defined answer, and every write stays inside a block sized for it
// here (the normaliser works in place and only ever shortens).
#include "shared/genstr.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "shared/genmem.h"

namespace {

char* alloc_text(size_t len) { return static_cast<char*>(AllocHook(len + 1, 1)); }

// Joins up to four parts, a missing part taken as empty.
char* join_parts(const char* const* parts, size_t count) {
    size_t total = 0;
    for (size_t i = 0; i < count; ++i)
        if (parts[i] != nullptr) total += std::strlen(parts[i]);
    char* out = alloc_text(total);
    char* w = out;
    for (size_t i = 0; i < count; ++i) {
        if (parts[i] == nullptr) continue;
        size_t n = std::strlen(parts[i]);
        std::memcpy(w, parts[i], n);
        w += n;
    }
    *w = '\0';
    return out;
}

bool is_empty(const char* s) { return s == nullptr || *s == '\0'; }

bool has_drive(const char* p) { return p != nullptr && gen_isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':'; }

bool all_digits(const char* s, size_t n) {
    if (n == 0) return false;
    for (size_t i = 0; i < n; ++i)
        if (!gen_isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

// A shared-library version tail: base ends in ".so" or ".sa" followed by one
// or two numeric components.  Answers the literal "so"/"sa" or nullptr.
const char* shared_library_ext(const char* base) {
    size_t len = std::strlen(base);
    size_t end = len;
    for (int numeric = 0; numeric < 2; ++numeric) {
        // Component [dot+1, end) must be numeric.
        size_t dot = end;
        while (dot > 0 && base[dot - 1] != '.') --dot;
        if (dot == 0 || !all_digits(base + dot, end - dot)) return nullptr;
        end = dot - 1;  // position of that dot
        // Does ".so"/".sa" end right here?
        if (end >= 3 && base[end - 3] == '.' && base[end - 2] == 's' &&
            (base[end - 1] == 'o' || base[end - 1] == 'a'))
            return base[end - 1] == 'o' ? "so" : "sa";
    }
    return nullptr;
}

}  // namespace

char* gen_strdup(const char* s) {
    if (s == nullptr) return nullptr;
    size_t n = std::strlen(s);
    char* d = alloc_text(n);
    std::memcpy(d, s, n + 1);
    return d;
}

char* gen_strcat2(const char* a, const char* b) {
    if (is_empty(a)) return gen_strdup(b);
    if (is_empty(b)) return gen_strdup(a);
    const char* parts[] = {a, b};
    return join_parts(parts, 2);
}

char* gen_strcat3(const char* a, const char* b, const char* c) {
    if (a == nullptr) return gen_strcat2(b, c);
    if (b == nullptr) return gen_strcat2(a, c);
    if (c == nullptr) return gen_strcat2(a, b);
    const char* parts[] = {a, b, c};
    return join_parts(parts, 3);
}

char* gen_strjoinc(const char* a, char ch, const char* b) {
    if (a == nullptr) return gen_strdup(b);
    if (ch == '\0') return gen_strcat2(a, b);
    if (b == nullptr) return gen_strdup(a);
    const char sep[2] = {ch, '\0'};
    const char* parts[] = {a, sep, b};
    return join_parts(parts, 3);
}

char* gen_strcat4(const char* a, const char* b, const char* c, const char* d) {
    const char* parts[] = {a, b, c, d};
    return join_parts(parts, 4);
}

bool gen_strequal(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b;
    for (;; ++a, ++b) {
        if (gen_tolower(static_cast<unsigned char>(*a)) != gen_tolower(static_cast<unsigned char>(*b))) return false;
        if (*a == '\0') return true;
    }
}

int gen_strcmp0(const char* a, const char* b) { return std::strcmp(a ? a : "", b ? b : ""); }

bool gen_strprefix(const char* s, const char* p) {
    if (p == nullptr) return true;
    if (s == nullptr) return false;
    return std::strncmp(s, p, std::strlen(p)) == 0;
}

const char* gen_strstr(const char* s, const char* t) {
    if (s == nullptr || t == nullptr) return nullptr;
    return std::strstr(s, t);
}

const char* gen_basename(const char* p) {
    if (p == nullptr) return nullptr;
    const char* base = p;
    for (const char* q = p; *q; ++q)
        if (gen_issep(*q)) base = q + 1;
    if (base == p && has_drive(p)) base = p + 2;
    return base;
}

char* gen_dirname(const char* p) {
    if (p == nullptr) return nullptr;
    size_t last = SIZE_MAX;
    for (size_t i = 0; p[i]; ++i)
        if (gen_issep(p[i])) last = i;
    if (last == SIZE_MAX) {
        // "C:name": the directory is the drive itself.
        if (!has_drive(p)) return nullptr;
        char* d = alloc_text(2);
        std::memcpy(d, p, 2);
        return d;
    }
    // Separators doubled before the base name belong to no component.
    size_t end = last;
    while (end > 0 && gen_issep(p[end - 1])) --end;
    size_t prefix = has_drive(p) ? 2 : 0;
    if (end <= prefix) end = prefix + 1;  // keep the root separator ("/", "C:\")
    if (end > last + 1) end = last + 1;
    char* d = alloc_text(end);
    std::memcpy(d, p, end);
    d[end] = '\0';
    return d;
}

bool gen_isabsolute(const char* p) {
    if (is_empty(p)) return false;
    if (gen_issep(p[0])) return true;
    if (p[1] == ':') return true;
    return p[0] == '~' && (p[1] == '\0' || gen_issep(p[1]));
}

bool gen_isbarename(const char* p) { return !is_empty(p) && gen_basename(p) == p; }

size_t gen_path_fold(char* p, size_t base, size_t len, const GenPathFold& how, size_t* rest) {
    size_t r = base;  // read position
    size_t w = base;  // write position, never ahead of r but for the guard
    size_t seen = 0;
    if (rest != nullptr) *rest = len;
    while (r < len) {
        while (r < len && p[r] == '/') ++r;
        if (r >= len) break;
        const size_t s = r;
        while (r < len && p[r] != '/') ++r;
        const size_t n = r - s;
        if (how.limit != 0 && ++seen > how.limit) {
            if (rest != nullptr) *rest = s;
            return w;
        }
        if (n == 1 && p[s] == '.') continue;
        if (n == 2 && p[s] == '.' && p[s + 1] == '.') {
            // Start of the last written component.
            size_t cs = w;
            while (cs > base && p[cs - 1] != '/') --cs;
            const bool have_prev = w > base;
            const bool prev_is_up = have_prev && w - cs == 2 && p[cs] == '.' && p[cs + 1] == '.';
            if (have_prev && !prev_is_up) {
                w = cs > base ? cs - 1 : base;
                // A lone "." left is the guard written before a drive-like
                // first component (a "." component itself is never written).
                if (w == base + 1 && p[base] == '.') w = base;
                continue;
            }
            if (!have_prev && how.drop_leading_up) continue;
        }
        if (w > base) {
            p[w++] = '/';
        } else if (how.guard_drive_like && n >= 2 && gen_isalpha(static_cast<unsigned char>(p[s])) && p[s + 1] == ':') {
            // Dropped components ("./", "x/../") must not leave a first
            // component that reads as a drive prefix; they left room for
            // the "./" that keeps it a plain name.
            p[w++] = '.';
            p[w++] = '/';
        }
        std::memmove(p + w, p + s, n);
        w += n;
    }
    return w;
}

char* gen_path_normalise(char* p, char sep) {
    if (p == nullptr || *p == '\0') return p;
    size_t len = std::strlen(p);
    for (size_t i = 0; i < len; ++i)
        if (p[i] == '\\') p[i] = '/';
    const bool trailing = p[len - 1] == '/';

    size_t w = 0;  // the prefix (drive, root, share) is kept as it stands
    if (has_drive(p)) {
        if (p[0] >= 'a' && p[0] <= 'z') p[0] = static_cast<char>(p[0] - ('a' - 'A'));
        w = 2;
    }
    const bool drive = w == 2;
    const bool rooted = p[w] == '/';
    bool share = false;
    if (rooted) {
        // A share name keeps its two leading separators.
        share = w == 0 && p[1] == '/' && p[2] != '/' && p[2] != '\0';
        w += share ? 2 : 1;
    }
    const size_t base = w;  // components never climb above this
    w = gen_path_fold(p, base, len, {rooted, !rooted && !drive, 0}, nullptr);
    // A share prefix with no server after it is just the root.
    if (share && w == base) w = base - 1;
    if (trailing && w > base) p[w++] = '/';
    p[w] = '\0';
    for (size_t i = 0; i < w; ++i)
        if (p[i] == '/') p[i] = sep;
    return p;
}

bool gen_pathequal(const char* a, const char* b) {
    if (a == nullptr) a = "";
    if (b == nullptr) b = "";
    if (std::strlen(a) != std::strlen(b)) return false;
    for (; *a != '\0'; ++a, ++b)
        if (!gen_pathchar_equal(*a, *b)) return false;
    return true;
}

char* gen_pathjoin(const char* dir, const char* name, char sep) {
    if (gen_isabsolute(name) && name[0] != '~') return gen_strdup(name);
    if (is_empty(dir)) {
        if (name == nullptr) return nullptr;
        // Two bytes at least here too: callers may turn an empty result
        // into "." in place.
        size_t n = std::strlen(name);
        char* out = alloc_text(n + 1);
        std::memcpy(out, name, n + 1);
        return out;
    }
    const char* nm = name ? name : "";
    size_t dl = std::strlen(dir);
    size_t nl = std::strlen(nm);
    bool add_sep = nl > 0 && !gen_issep(dir[dl - 1]);
    // At least two bytes so that an empty result can become ".".
    char* out = alloc_text(dl + nl + 2);
    std::memcpy(out, dir, dl);
    size_t w = dl;
    if (add_sep) out[w++] = sep;
    std::memcpy(out + w, nm, nl);
    out[w + nl] = '\0';
    gen_path_normalise(out, sep);
    if (out[0] == '\0') {
        out[0] = '.';
        out[1] = '\0';
    }
    return out;
}

char* gen_pathjoin_or_copy(const char* dir, const char* name, char sep) {
    if (is_empty(dir)) return gen_strdup(name);
    if (is_empty(name)) return gen_strdup(dir);
    if (gen_isabsolute(name)) return gen_strdup(name);
    return gen_pathjoin(dir, name, sep);
}

const char* gen_getext(const char* p) {
    const char* base = gen_basename(p);
    if (base == nullptr) return nullptr;
    const char* dot = std::strrchr(base, '.');
    if (dot == nullptr) return nullptr;
    if (const char* so = shared_library_ext(base)) return so;
    return dot + 1;
}

bool gen_hasext(const char* p, const char* ext) {
    const char* e = gen_getext(p);
    if (ext == nullptr) return e != nullptr && *e != '\0';
    if (e == nullptr) return false;
    if (*ext == '.') ++ext;
    return gen_strequal(e, ext);
}

char* gen_setext(const char* p, const char* ext) {
    if (p == nullptr) return nullptr;
    const char* base = gen_basename(p);
    const char* dot = std::strrchr(base, '.');
    size_t keep = dot ? static_cast<size_t>(dot - p) : std::strlen(p);
    if (ext != nullptr && *ext == '.') ++ext;
    size_t el = is_empty(ext) ? 0 : std::strlen(ext);
    char* out = alloc_text(keep + (el ? el + 1 : 0));
    std::memcpy(out, p, keep);
    if (el) {
        out[keep] = '.';
        std::memcpy(out + keep + 1, ext, el);
    }
    out[keep + (el ? el + 1 : 0)] = '\0';
    return out;
}

const char* gen_getenv(const char* name, const char* dflt) {
    if (is_empty(name)) return dflt;
    const char* v = std::getenv(name);
    return is_empty(v) ? dflt : v;
}

bool gen_setenv(const char* name, const char* value) {
    if (is_empty(name)) return false;
    return plat_setenv(name, value ? value : "") == 0;
}

char* gen_readline(FILE* stream, char** buffer, size_t* capacity) {
    if (stream == nullptr || buffer == nullptr || capacity == nullptr) return nullptr;
    if (*buffer == nullptr) *capacity = 0;
    size_t len = 0;
    bool any = false;
    for (;;) {
        int c = std::fgetc(stream);
        if (c == EOF) break;
        any = true;
        if (c == '\n') break;
        if (c == '\r') {
            int next = std::fgetc(stream);
            if (next != '\n' && next != EOF) std::ungetc(next, stream);
            break;
        }
        if (len + 1 >= *capacity) {
            size_t grown = *capacity == 0 ? 248 : *capacity * 2 + 8;
            *buffer = static_cast<char*>(ReallocHook(*buffer, static_cast<int64_t>(grown)));
            *capacity = grown;
        }
        (*buffer)[len++] = static_cast<char>(c);
    }
    if (!any) return nullptr;
    if (*capacity == 0) {
        *buffer = static_cast<char*>(ReallocHook(*buffer, 248));
        *capacity = 248;
    }
    (*buffer)[len] = '\0';
    return *buffer;
}

uint32_t gen_strtou32(const char* text, char** end, int base) {
    if (text == nullptr) {
        if (end != nullptr) *end = nullptr;
        return 0;
    }
    int saved = errno;
    errno = 0;
    char* stop = nullptr;
    unsigned long long v = std::strtoull(text, &stop, base);
    bool overflow = errno == ERANGE;
    errno = saved;
    if (end != nullptr) *end = stop;
    if (overflow || v > UINT32_MAX) return UINT32_MAX;
    return static_cast<uint32_t>(v);
}

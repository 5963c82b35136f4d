// Checked file I/O.  No state: every call that can fail takes the file name
// (and, for open and close, an optional role description) so the message can
// name the file; a caller without a name gets the nameless wording.
#include "shared/genio.h"

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "shared/genexit.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "shared/genstr.h"
#include "shared/viewpath/viewpath.h"

namespace {

constexpr int kErrIsDirectory = 21;  // EISDIR on every platform we target
constexpr uint32_t kTypeMask = 0xF000;
constexpr uint32_t kTypeDirectory = 0x4000;

// "C:" / "C:\" or a share root "\\server\share" / "\\server\share\".
bool is_root(const char* p, size_t n) {
    if ((n == 2 || n == 3) && p[1] == ':' && (n == 2 || gen_issep(p[2]))) return true;
    if (n < 3 || !gen_issep(p[0]) || !gen_issep(p[1])) return false;
    size_t seps = 0, last = 0;
    for (size_t i = 2; i < n; ++i)
        if (gen_issep(p[i])) {
            ++seps;
            last = i;
        }
    if (seps == 1) return last != n - 1;
    if (seps == 2) return last == n - 1;
    return false;
}

}  // namespace

// Shared by the directory test and directory creation: a root without its
// trailing separator gets one, any other path loses one trailing separator.
char* gen_normalise_dirpath(const char* path) {
    size_t n = std::strlen(path);
    char* copy = static_cast<char*>(AllocHook(n + 2, 1));
    std::memcpy(copy, path, n + 1);
    if (n > 1) {
        if (is_root(path, n)) {
            if (!gen_issep(path[n - 1])) {
                copy[n] = '\\';
                copy[n + 1] = '\0';
            }
        } else if (gen_issep(path[n - 1])) {
            copy[n - 1] = '\0';
        }
    }
    return copy;
}

FILE* gen_safe_fopen(const char* name, const char* description, const char* mode) {
    const char* role = "input";
    bool append = false;
    for (const char* m = mode; m != nullptr && *m != '\0'; ++m) {
        if (*m == 'r') break;
        if (*m == 'w') {
            role = "output";
            break;
        }
        if (*m == 'a') {
            role = "output";
            append = true;
            break;
        }
    }

    FILE* stream = nullptr;
    if (gen_isdir(name) == 1) {
        errno = kErrIsDirectory;
    } else {
        stream = gen_vp_fopen(name, mode);
        if (stream != nullptr) {
            if (append) plat_fseek64(stream, 0, SEEK_END);
            return stream;
        }
    }
    if (description != nullptr)
        gen_perror_exit(1, "Unable to open %s '%s' for %s", description, name, role);
    gen_perror_exit(1, "Unable to open %s for %s", name, role);
}

int64_t gen_safe_fwrite(const char* name, const void* buffer, int32_t size, int32_t count, FILE* stream) {
    size_t written = plat_calls.fwrite(buffer, static_cast<size_t>(size), static_cast<size_t>(count), stream);
    if (written < static_cast<size_t>(count)) {
        if (name != nullptr)
            gen_fatal("Error writing to '%s'", name);
        else
            gen_fatal("Error writing to file");
    }
    return static_cast<int64_t>(static_cast<int32_t>(written));
}

int gen_safe_fclose(const char* name, const char* description, FILE* stream) {
    char* label = nullptr;
    const char* shown = name;
    if (description != nullptr) {
        label = gen_format_alloc("%s '%s'", description, name);
        shown = label;
    }
    int result;
    if (stream == nullptr) {
        gen_error("Attempt to close NULL file %s", shown);
        result = -1;
    } else {
        result = plat_calls.fclose(stream);
        if (result != 0) gen_fatal("Error closing %s", shown);
    }
    FreeHook(label);
    return result;
}

int gen_safe_fseek(const char* name, FILE* stream, int32_t offset, int origin) {
    int result = std::fseek(stream, offset, origin);
    if (result < 0) {
        if (name != nullptr) gen_perror_exit(1, "seek failed to %d in '%s'", offset, name);
        gen_perror_exit(1, "seek failed to %d in file", offset);
    }
    return result;
}

int gen_safe_fseek64(const char* name, FILE* stream, int64_t offset, int origin) {
    int result = plat_fseek64(stream, offset, origin);
    if (result < 0) {
        if (name != nullptr) gen_perror_exit(1, "seek failed to 0x%I64x in '%s'", offset, name);
        gen_perror_exit(1, "seek failed to 0x%I64x in file", offset);
    }
    return result;
}

int64_t gen_read(int fd, void* buffer, uint64_t count) {
    if (count > 0xFFFFFFFFull) gen_error("gen_read(): count exceeds unsigned 32-bit range");
    return plat_calls.read(fd, buffer, static_cast<uint32_t>(count));
}

int64_t gen_write(int fd, const void* buffer, uint64_t count) {
    if (count > 0xFFFFFFFFull) gen_error("gen_write(): count exceeds unsigned 32-bit range");
    return plat_calls.write(fd, buffer, static_cast<uint32_t>(count));
}

int gen_isdir(const char* path) {
    if (path == nullptr || *path == '\0') return -1;
    char* normal = gen_normalise_dirpath(path);
    int answer = -2;
    if (!gen_vp_active()) {
        uint32_t attrs = 0;
        if (plat_file_attributes(normal, &attrs)) answer = (attrs & PLAT_ATTR_DIRECTORY) ? 1 : 0;
    }
    if (answer == -2) {
        PlatStat st;
        if (plat_stat(normal, &st) != 0) {
            answer = 0;
        } else {
            // The status query may see a stale size through a view path;
            // the size is refreshed from the file itself, as the type bits
            // are what decide here.
            if (FILE* fp = gen_vp_fopen(normal, "rb")) {
                if (plat_fseek64(fp, 0, SEEK_END) == 0) {
                    int64_t end = plat_ftell64(fp);
                    if (end >= 0 && end != st.size) st.size = end;
                }
                gen_vp_fclose(fp);
            }
            answer = (st.mode & kTypeMask) == kTypeDirectory ? 1 : 0;
        }
    }
    FreeHook(normal);
    return answer;
}

// Per-thread event logs: creation, the event writer, release at thread end
// and RNE file output.
//
// Guarantees: an event write touches only the calling thread's own log (no
// lock, no allocation, no system call, errno unchanged); a record that starts
// at or below the wrap limit always fits in the data region; the header's
// write position, wrap mark and counter-high word are updated only after the
// record is complete, so a crash handler on the same thread always finds a
// consistent log; logging never reports an error and never ends the program.
//
// Memory comes from the C library directly rather than from AllocHook: a log
// that cannot be made must leave the thread without a log, not end the
// program, and the hooks' failure path reports through the diagnostics,
// which would write to the very log being made.
#include "shared/eventlog/zolta.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "shared/eventlog/zolta_counter.h"
#include "shared/eventlog/zolta_testing.h"

uint64_t (*zolta_counter_source)() = nullptr;

namespace {

// Where a file-backed log lives.  POSIX needs no separate mapping handle.
struct MappedLogFile {
    char path[ZOLTA_PATH_SIZE];
    void* view;
    uint64_t size;
    int fd;
};

struct ThreadLogTable {
    ThreadLog** logs;
    MappedLogFile* maps;  // parallel to logs; view is null for heap logs
    int32_t count;
};

// Guards the table, its count, the process-wide values fixed at the first
// log and the dump directory.
std::mutex g_table_lock;
ThreadLogTable g_table = {nullptr, nullptr, 0};

bool g_started = false;  // size, start pair and program path are fixed
uint32_t g_log_size = 0;
uint64_t g_start_counter = 0;
uint64_t g_start_time_ns = 0;
char g_program_path[ZOLTA_PATH_SIZE];
int g_use_mapped = -1;  // storage decision, -1 until made
char* g_dump_dir = nullptr;

std::once_flag g_init_once;
PlatThreadKey g_log_key;  // holds the thread's log; its destructor ends it
bool g_log_key_ok = false;

// The fast path finds the log through a plain thread-local pointer; the
// platform slot above exists for its destructor.
thread_local ThreadLog* t_log = nullptr;
// Set once a log was made for this thread: after its release at thread end
// (other slot destructors may still log) the thread gets no second one.
thread_local bool t_had_log = false;

struct KeepErrno {
    int saved = errno;
    ~KeepErrno() { errno = saved; }
};

// POSIX runs no slot destructor for the thread that ends the process, so at
// exit the exiting thread's log is finished here as if the thread ended: the
// RNE file is written when a dump directory is set, and a file-backed log's
// "_map.rne" file is deleted, so a normal run leaves no backing file behind
// (only a process that dies without exit handlers leaves one, with the
// events in it).  This is registered before the crash-report set-up
// registers its exit dump, so it runs after that dump and the exit note is
// in the file.  Events written by exit-time code that runs later still are
// dropped, as after any thread end.
void finish_exiting_thread() {
    ThreadLog* log = t_log;
    // A forked child may still point at the parent's log: not ours to end.
    if (log == nullptr || log->thread_id != plat_thread_id()) return;
    if (g_log_key_ok) plat_thread_key_set(g_log_key, nullptr);
    ZOLTA_ThreadEnd(log);
}

// The child of a fork has one thread, whose log pointer names the parent's
// log: a file-backed one would be written into the parent's file.  The
// child makes its own log instead.
void forget_log_in_child() {
    t_log = nullptr;
    t_had_log = false;
}

void init_process() {
    g_log_key_ok = plat_thread_key_create(&g_log_key, ZOLTA_ThreadEnd) != 0;
    plat_at_fork_child(forget_log_in_child);
    std::atexit(finish_exiting_thread);
}

// --- Size variables -------------------------------------------------------

// Parses a size: a decimal number (leading space and sign allowed), then a
// multiplier letter when `with_multiplier`.  0 when invalid.
uint32_t parse_size(const char* text, bool with_multiplier) {
    if (text == nullptr) return 0;
    errno = 0;
    char* end = nullptr;
    const long long n = std::strtoll(text, &end, 10);
    if (end == text || errno != 0 || n < 1) return 0;
    unsigned shift = 0;
    if (with_multiplier) {
        if (end[0] != '\0' && end[1] != '\0') return 0;
        switch (end[0]) {
            case '\0': shift = 0; break;
            case 'K': case 'k': shift = 10; break;
            case 'M': case 'm': shift = 20; break;
            case 'G': case 'g': shift = 30; break;
            default: return 0;
        }
    } else if (end[0] != '\0') {
        return 0;
    }
    if (static_cast<unsigned long long>(n) > (0xFFFFFFFFull >> shift)) return 0;
    const uint32_t size = static_cast<uint32_t>(static_cast<unsigned long long>(n) << shift);
    return size >= ZOLTA_MIN_LOG_SIZE ? size : 0;
}

// --- Making and releasing logs (table lock held) -------------------------

bool grow_table() {
    const int32_t n = g_table.count + 1;
    auto* logs = static_cast<ThreadLog**>(std::calloc(static_cast<size_t>(n), sizeof(ThreadLog*)));
    auto* maps = static_cast<MappedLogFile*>(std::calloc(static_cast<size_t>(n), sizeof(MappedLogFile)));
    if (logs == nullptr || maps == nullptr) {
        std::free(logs);
        std::free(maps);
        return false;
    }
    if (g_table.count > 0) {
        std::memcpy(logs, g_table.logs, sizeof(ThreadLog*) * static_cast<size_t>(g_table.count));
        std::memcpy(maps, g_table.maps, sizeof(MappedLogFile) * static_cast<size_t>(g_table.count));
    }
    std::free(g_table.logs);
    std::free(g_table.maps);
    g_table.logs = logs;
    g_table.maps = maps;
    return true;
}

// An empty value counts as unset, as for the crash reports: it names no
// directory.
const char* dump_path_variable() {
    const char* dir = std::getenv("ZEP_RNE_DUMP_PATH");
    return dir != nullptr && dir[0] != '\0' ? dir : nullptr;
}

bool use_mapped_logs() {
    if (g_use_mapped < 0) {
        const char* dir = dump_path_variable();
        g_use_mapped = dir != nullptr && std::getenv("ZEP_ZOLTA_NO_MAP_LOGS") == nullptr ? 1 : 0;
        if (g_use_mapped == 1) plat_mkdir(dir, 0777);
    }
    // Without a slot destructor nothing would ever delete the files.
    return g_use_mapped == 1 && g_log_key_ok;
}

// Heap storage: header block and data region apart.
ThreadLog* make_heap_log(uint8_t** data) {
    auto* log = static_cast<ThreadLog*>(std::calloc(1, sizeof(ThreadLog)));
    *data = static_cast<uint8_t*>(std::calloc(g_log_size, 1));
    if (log == nullptr || *data == nullptr) {
        std::free(log);
        std::free(*data);
        return nullptr;
    }
    return log;
}

// File-backed storage: "<dump dir>/<pid>_<tid>_map.rne", header block at the
// start of the view and the data region right behind it.
ThreadLog* make_mapped_log(uint32_t tid, MappedLogFile* map, uint8_t** data) {
    const char* dir = dump_path_variable();
    if (dir == nullptr) return nullptr;
    // Kept absolute so the file can still be deleted after a change of the
    // current directory.
    char cwd[ZOLTA_PATH_SIZE] = "";
    if (!plat_path_is_rooted(dir) && plat_calls.getcwd(cwd, sizeof cwd) == nullptr) return nullptr;
    const size_t dlen = std::strlen(dir);
    // Either separator may end the directory (both are accepted on input);
    // what is added is the platform's own.
    const bool sep = dlen > 0 && (dir[dlen - 1] == '/' || dir[dlen - 1] == '\\');
    const char joiner[2] = {PLAT_PATH_SEPARATOR, '\0'};
    const int n = std::snprintf(map->path, sizeof map->path, "%s%s%s%s%u_%u_map.rne", cwd, cwd[0] ? joiner : "",
                                dir, sep ? "" : joiner, plat_process_id(), tid);
    if (n < 0 || n > static_cast<int>(ZOLTA_PATH_SIZE) - 2) {
        map->path[0] = '\0';
        return nullptr;
    }
    const uint64_t size = uint64_t{g_log_size} + ZOLTA_HEADER_SIZE;
    const int fd = plat_create_private_file(map->path);
    if (fd < 0) {
        map->path[0] = '\0';
        return nullptr;
    }
    void* view = plat_map_file(fd, size);
    if (view == nullptr) {
        plat_close(fd);
        plat_remove_file(map->path);
        map->path[0] = '\0';
        return nullptr;
    }
    map->view = view;
    map->size = size;
    map->fd = fd;
    *data = static_cast<uint8_t*>(view) + ZOLTA_HEADER_SIZE;
    return static_cast<ThreadLog*>(view);
}

int32_t find_slot(const ThreadLog* log) {
    for (int32_t i = 0; i < g_table.count; ++i)
        if (g_table.logs[i] == log) return i;
    return -1;
}

// Empties slot i and gives its storage back.
void release_slot(int32_t i) {
    ThreadLog* log = g_table.logs[i];
    MappedLogFile& map = g_table.maps[i];
    g_table.logs[i] = nullptr;
    if (log == nullptr) return;
    if (t_log == log) {
        // Released before the thread's end: the slot's destructor must not
        // see it again.
        t_log = nullptr;
        if (g_log_key_ok) plat_thread_key_set(g_log_key, nullptr);
    }
    if (map.view != nullptr) {
        plat_unmap_file(map.view, map.size);
        plat_close(map.fd);
        plat_remove_file(map.path);
    } else {
        std::free(reinterpret_cast<void*>(static_cast<uintptr_t>(log->data_start)));
        std::free(log);
    }
    std::memset(&map, 0, sizeof map);
}

// Finds or makes the calling thread's log; *created tells a new log (which
// comes with its busy flag set).
ThreadLog* find_or_create(bool* created) {
    KeepErrno keep;
    *created = false;
    std::call_once(g_init_once, init_process);
    std::lock_guard<std::mutex> lock(g_table_lock);

    const uint32_t tid = plat_thread_id();
    int32_t slot = -1;
    for (int32_t i = 0; i < g_table.count; ++i) {
        ThreadLog* log = g_table.logs[i];
        if (log == nullptr) {
            if (slot < 0) slot = i;
        } else if (log->thread_id == tid) {
            t_log = log;
            return log;
        }
    }
    if (t_had_log) return nullptr;

    if (!g_started) {
        g_log_size = zolta_parse_log_size(std::getenv("ZEP_ZOLTA_LOG_SIZE"), std::getenv("ZEP_ZOLTA_LOG_BYTES"));
        // The smallest accepted sizes would put the data start above the
        // wrap limit; one largest record must always fit behind the start.
        if (g_log_size < ZOLTA_MAX_RECORD) g_log_size = ZOLTA_MAX_RECORD;
        g_start_counter = zolta_read_counter();
        g_start_time_ns = plat_wall_clock_ns();
        std::memset(g_program_path, 0, sizeof g_program_path);
        plat_module_file_name(g_program_path, sizeof g_program_path);
        g_started = true;
    }

    const bool new_slot = slot < 0;
    if (new_slot) {
        if (!grow_table()) return nullptr;
        slot = g_table.count;
    }

    uint8_t* data = nullptr;
    ThreadLog* log = use_mapped_logs() ? make_mapped_log(tid, &g_table.maps[slot], &data) : make_heap_log(&data);
    if (log == nullptr) return nullptr;

    log->format[0] = 0x12;
    log->format[1] = 2;
    log->format[2] = 'D';
    log->data_start = reinterpret_cast<uintptr_t>(data);
    log->write_pos = log->data_start;
    log->wrap_limit = log->data_start + g_log_size - ZOLTA_MAX_RECORD;
    log->wrap_mark = 0;
    log->thread_id = tid;
    log->start_time_ns = g_start_time_ns;
    log->start_counter = g_start_counter;
    std::memcpy(log->program_path, g_program_path, sizeof log->program_path);

    g_table.logs[slot] = log;
    log->counter_high = static_cast<uint32_t>(zolta_read_counter() >> 32);
    log->handed_out = 1;
    log->busy = 1;
    if (g_log_key_ok) plat_thread_key_set(g_log_key, log);
    t_log = log;
    t_had_log = true;
    if (new_slot) ++g_table.count;
    // The header's start and dump pairs tie the counter to wall-clock time
    // for our own reader; the system trace gets its own tie.
    plat_trace_clock_sync();
    *created = true;
    return log;
}

// --- Records ---------------------------------------------------------------

inline void put_word(uint8_t* p, uint32_t w) { std::memcpy(p, &w, 4); }

// The bytes, a NUL and zero padding to the next multiple of four; returns the
// field's length, 4 * (len / 4 + 1).
inline uint32_t put_string_field(uint8_t* p, const char* s, size_t len) {
    const size_t whole = len & ~size_t{3};
    std::memcpy(p, s, whole);
    uint32_t last = 0;
    std::memcpy(&last, s + whole, len - whole);
    put_word(p + whole, last);
    return static_cast<uint32_t>(whole + 4);
}

inline size_t bounded_length(const char* s, size_t cap) {
    const void* nul = std::memchr(s, '\0', cap);
    return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - s) : cap;
}

void write_record(ThreadLog* log, const char* name, const void* value, uint32_t type, uint32_t extra) {
    const uint64_t start = log->write_pos;
    const bool wrap = start > log->wrap_limit;
    uint8_t* p = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(wrap ? log->data_start : start));

    const uint64_t counter = zolta_read_counter();
    const uint32_t high = static_cast<uint32_t>(counter >> 32);
    if (high != log->counter_high) {
        put_word(p, log->counter_high);
        put_word(p + 4, ZOLTA_TYPE_CLOCK);
        p += 8;
    }
    put_word(p, static_cast<uint32_t>(counter));
    p += 4;

    if (type >= ZOLTA_TYPE_BARE && type <= ZOLTA_TYPE_BARE_LAST) {
        uint32_t v = 0;
        if (value != nullptr) std::memcpy(&v, value, 4);
        put_word(p, v);
        p += 4;
    } else {
        const uint32_t n = put_string_field(p, name, bounded_length(name, ZOLTA_MAX_NAME));
        p += n;
        if (type >= ZOLTA_TYPE_U32 && type <= ZOLTA_TYPE_U32_LAST) {
            uint32_t v = 0;
            if (value != nullptr) std::memcpy(&v, value, 4);
            put_word(p, v);
            put_word(p + 4, n);
            p += 8;
        } else if (type >= ZOLTA_TYPE_ADDRESS && type <= ZOLTA_TYPE_U64_LAST) {
            uint64_t v = 0;
            if (value != nullptr) std::memcpy(&v, value, 8);
            put_word(p, static_cast<uint32_t>(v));
            put_word(p + 4, static_cast<uint32_t>(v >> 32));
            put_word(p + 8, n);
            p += 12;
        } else {
            const char* text = static_cast<const char*>(value);
            const uint32_t m = text != nullptr ? put_string_field(p, text, bounded_length(text, ZOLTA_MAX_TEXT)) : 0;
            p += m;
            put_word(p, (m << 16) | n);
            p += 4;
            if (type >= ZOLTA_TYPE_TEXT_EXTRA && type <= ZOLTA_TYPE_TEXT_EXTRA_LAST) {
                put_word(p, extra);
                p += 4;
            }
        }
    }
    put_word(p, type);
    p += 4;

    if (wrap) log->wrap_mark = start;
    log->counter_high = high;
    log->write_pos = reinterpret_cast<uintptr_t>(p);
}

void write_all(int fd, const void* data, uint64_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const size_t chunk = size > (1u << 30) ? (1u << 30) : static_cast<size_t>(size);
        const long n = plat_calls.write(fd, p, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        size -= static_cast<uint64_t>(n);
    }
}

}  // namespace

// --- Interfaces -------------------------------------------------------------

ThreadLog* ZOLTA_GetThreadLog() {
    if (t_log != nullptr) return t_log;
    bool created = false;
    return find_or_create(&created);
}

void ZOLTA_LogEvent(const char* name, const void* value, uint32_t type, uint32_t extra) {
    // A record claiming the clock type would stop a backward reader.
    if (type == ZOLTA_TYPE_CLOCK) return;
    const int saved_errno = errno;
    ThreadLog* log = t_log;
    if (log == nullptr) {
        // Released at this thread's end: drop without taking the lock.
        if (t_had_log) return;
        bool created = false;
        log = find_or_create(&created);
        if (log == nullptr) return;
        if (!created) {
            if (log->busy) return;
            log->busy = 1;
        }
    } else {
        // Busy: this event started inside another one on the same thread (a
        // signal handler); writing would tear the record being written.
        if (log->busy) return;
        log->busy = 1;
    }
    // Only this thread writes the log; the fences keep the busy flag around
    // the stores as seen by a signal handler on the same thread.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    write_record(log, name != nullptr ? name : "", value, type, extra);
    errno = saved_errno;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    log->busy = 0;
}

void ZOLTA_LogText(const char* name, const char* text) { ZOLTA_LogEvent(name, text, ZOLTA_TYPE_TEXT, 0); }

void ZOLTA_LogU32(const char* name, uint32_t value) { ZOLTA_LogEvent(name, &value, ZOLTA_TYPE_U32, 0); }

void ZOLTA_LogAddress(const char* name, uint64_t value) { ZOLTA_LogEvent(name, &value, ZOLTA_TYPE_ADDRESS, 0); }

void ZOLTA_LogInteger(const char* name, uint64_t value) { ZOLTA_LogEvent(name, &value, ZOLTA_TYPE_INTEGER, 0); }

ThreadLog* ZOLTA_StartThreadLog() {
    if (t_log != nullptr) return t_log;
    bool created = false;
    ThreadLog* log = find_or_create(&created);
    if (log != nullptr && created) log->busy = 0;
    return log;
}

void ZOLTA_SetDumpDirectory(const char* path) {
    char* copy = nullptr;
    if (path != nullptr) {
        const size_t n = std::strlen(path);
        copy = static_cast<char*>(std::malloc(n + 1));
        if (copy != nullptr) std::memcpy(copy, path, n + 1);
    }
    std::lock_guard<std::mutex> lock(g_table_lock);
    std::free(g_dump_dir);
    g_dump_dir = copy;
}

void ZOLTA_DumpAllRNEFiles(const char* directory) {
    ThreadLog* log = t_log;
    if (log == nullptr || directory == nullptr) return;
    ZOLTA_WriteRNEFile(directory, log, plat_process_id());
}

void ZOLTA_ThreadEnd(void* value) {
    auto* log = static_cast<ThreadLog*>(value);
    if (log == nullptr) return;
    KeepErrno keep;
    char dir[ZOLTA_PATH_SIZE];
    bool have_dir = false;
    {
        std::lock_guard<std::mutex> lock(g_table_lock);
        // Only logs still in the table: one released earlier is gone.
        if (find_slot(log) < 0) return;
        if (g_dump_dir != nullptr && std::strlen(g_dump_dir) < sizeof dir) {
            std::strcpy(dir, g_dump_dir);
            have_dir = true;
        }
    }
    // Written outside the lock so that other threads can make their logs
    // meanwhile; only this thread releases this log.
    if (have_dir) ZOLTA_WriteRNEFile(dir, log, plat_process_id());
    std::lock_guard<std::mutex> lock(g_table_lock);
    const int32_t slot = find_slot(log);
    if (slot >= 0) release_slot(slot);
}

int ZOLTA_WriteRNEFile(const char* directory, ThreadLog* log, uint32_t pid) {
    if (directory == nullptr || log == nullptr) return 0;
    KeepErrno keep;
    plat_trace_clock_sync();
    const uint64_t counter = zolta_read_counter();
    const uint64_t now = plat_wall_clock_ns();
    char name[ZOLTA_PATH_SIZE];
    const int n = std::snprintf(name, sizeof name, "%s/%u_%u.rne", directory, pid, log->thread_id);
    if (n < 0 || n >= static_cast<int>(sizeof name)) return 0;
    const int fd = plat_open_private_for_overwrite(name);
    if (fd < 0) return 0;
    log->reserved = 0;
    log->dump_time_ns = now;
    log->dump_counter = counter;
    log->writing_file = 1;
    // Up to the wrap mark after a wrap: the newer lap, then what is left of
    // the older one.  Once the newer lap has run past the mark nothing of
    // the older lap is left and the newer lap ends at the write position.
    const uint64_t end = log->write_pos > log->wrap_mark ? log->write_pos : log->wrap_mark;
    write_all(fd, log, sizeof(ThreadLog));
    write_all(fd, reinterpret_cast<const void*>(static_cast<uintptr_t>(log->data_start)), end - log->data_start);
    plat_close(fd);
    log->writing_file = 0;
    return 1;
}

// --- Test seams -------------------------------------------------------------

uint32_t zolta_parse_log_size(const char* size_value, const char* bytes_value) {
    KeepErrno keep;
    uint32_t size = parse_size(size_value, true);
    if (size == 0) size = parse_size(bytes_value, false);
    return size != 0 ? size : ZOLTA_DEFAULT_LOG_SIZE;
}

uint32_t zolta_log_size() {
    std::lock_guard<std::mutex> lock(g_table_lock);
    return g_started ? g_log_size : 0;
}

int zolta_live_log_count() {
    std::lock_guard<std::mutex> lock(g_table_lock);
    int n = 0;
    for (int32_t i = 0; i < g_table.count; ++i) n += g_table.logs[i] != nullptr;
    return n;
}

int zolta_table_slots() {
    std::lock_guard<std::mutex> lock(g_table_lock);
    return g_table.count;
}

const char* zolta_backing_file(const ThreadLog* log) {
    std::lock_guard<std::mutex> lock(g_table_lock);
    for (int32_t i = 0; i < g_table.count; ++i)
        if (g_table.logs[i] == log && g_table.maps[i].view != nullptr) return g_table.maps[i].path;
    return nullptr;
}

void zolta_reset_for_tests() {
    std::call_once(g_init_once, init_process);
    std::lock_guard<std::mutex> lock(g_table_lock);
    for (int32_t i = 0; i < g_table.count; ++i) release_slot(i);
    std::free(g_table.logs);
    std::free(g_table.maps);
    g_table = {nullptr, nullptr, 0};
    g_started = false;
    g_log_size = 0;
    g_use_mapped = -1;
    std::free(g_dump_dir);
    g_dump_dir = nullptr;
    t_log = nullptr;
    t_had_log = false;
    if (g_log_key_ok) plat_thread_key_set(g_log_key, nullptr);
}

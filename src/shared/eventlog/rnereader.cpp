// Event-log reader: header decoding and the backward record walk.
//
// Offsets are kept relative to the data start and compared before every
// read, in unsigned 64-bit arithmetic that cannot wrap (every subtraction is
// preceded by a comparison), so a damaged header or record can shorten the
// result but never send a read outside the buffer.
#include "shared/eventlog/rnereader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t le64(const uint8_t* p) { return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32; }

// Header offsets.
constexpr size_t kWritePos = 16, kBusy = 24, kDataStart = 32, kWrapLimit = 40, kCounterHigh = 48, kThreadId = 52,
                 kWrapMark = 56, kWritingFile = 72, kStartTime = 80, kDumpTime = 88, kStartCounter = 96,
                 kDumpCounter = 104, kProgramPath = 120;

bool valid_name_length(uint32_t n) { return n >= 4 && n <= ZOLTA_MAX_NAME + 1 && n % 4 == 0; }
bool valid_text_length(uint32_t m) { return m == 0 || (m >= 4 && m <= ZOLTA_MAX_TEXT + 1 && m % 4 == 0); }

// A field as the writer makes it always has a NUL in byte 3 of its last word.
bool read_field(const uint8_t* f, uint32_t len, std::string* out) {
    if (len < 4 || f[len - 1] != 0) return false;
    const auto* nul = static_cast<const uint8_t*>(std::memchr(f, 0, len));
    out->assign(reinterpret_cast<const char*>(f), static_cast<size_t>(nul - f));
    return true;
}

enum class WalkEnd {
    reached_bottom,  // the last record read starts exactly at the bottom
    crossed_bottom,  // the next record would reach below the bottom
    damaged,         // a record's words contradict each other
};

// Walks the records that end at `top` down to `bottom`, appending events
// newest first.  `high` enters as the counter high word in force at `top`
// and leaves as the one in force at the last record read.
WalkEnd walk_back(const uint8_t* d, uint64_t bottom, uint64_t top, bool older, uint32_t* high,
                  std::vector<RneEvent>* newest_first, uint64_t* clocks, std::string* why) {
    uint64_t cur = top;
    while (cur > bottom) {
        const uint64_t room = cur - bottom;
        if (room < 8) return WalkEnd::crossed_bottom;
        const uint32_t type = le32(d + cur - 4);
        if (type == ZOLTA_TYPE_CLOCK) {
            *high = le32(d + cur - 8);
            cur -= 8;
            ++*clocks;
            continue;
        }
        RneEvent ev;
        ev.type = type;
        ev.older_lap = older;
        uint64_t size = 0;
        uint32_t n = 0, m = 0;
        if (type >= ZOLTA_TYPE_BARE && type <= ZOLTA_TYPE_BARE_LAST) {
            size = 12;
            if (room < size) return WalkEnd::crossed_bottom;
            ev.value = le32(d + cur - 8);
        } else if (type >= ZOLTA_TYPE_U32 && type <= ZOLTA_TYPE_U64_LAST) {
            // One value word (6 to 11) or two (12 to 17) before N and the type.
            const bool wide = type >= ZOLTA_TYPE_ADDRESS;
            const uint64_t tail = wide ? 20 : 16;  // counter, value, N, type
            if (room < tail) return WalkEnd::crossed_bottom;
            n = le32(d + cur - 8);
            if (!valid_name_length(n)) {
                *why = "bad name length";
                return WalkEnd::damaged;
            }
            size = tail + uint64_t{n};
            if (room < size) return WalkEnd::crossed_bottom;
            ev.value = wide ? le64(d + cur - 16) : le32(d + cur - 12);
        } else {
            const bool extra = type >= ZOLTA_TYPE_TEXT_EXTRA && type <= ZOLTA_TYPE_TEXT_EXTRA_LAST;
            const uint64_t tail = extra ? 16 : 12;  // counter, lengths, extra, type
            if (room < tail) return WalkEnd::crossed_bottom;
            const uint32_t lengths = le32(d + cur - (extra ? 12 : 8));
            n = lengths & 0xFFFF;
            m = lengths >> 16;
            if (!valid_name_length(n) || !valid_text_length(m)) {
                *why = "bad name or text length";
                return WalkEnd::damaged;
            }
            size = tail + n + m;
            if (room < size) return WalkEnd::crossed_bottom;
            if (extra) ev.extra = le32(d + cur - 8);
        }
        const uint64_t start = cur - size;
        ev.offset = start;
        ev.counter = static_cast<uint64_t>(*high) << 32 | le32(d + start);
        if (n != 0 && !read_field(d + start + 4, n, &ev.name)) {
            *why = "name without its terminating zero";
            return WalkEnd::damaged;
        }
        if (m != 0) {
            if (!read_field(d + start + 4 + n, m, &ev.text)) {
                *why = "text without its terminating zero";
                return WalkEnd::damaged;
            }
            ev.has_text = true;
        }
        newest_first->push_back(std::move(ev));
        cur = start;
    }
    return WalkEnd::reached_bottom;
}

std::string at_offset(const char* what, uint64_t offset) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s (record ending at data offset %llu)", what,
                  static_cast<unsigned long long>(offset));
    return buf;
}

// Decodes a header block and the data bytes available behind it.
bool parse_log(const uint8_t* h, const uint8_t* data, uint64_t available, RneLog* out) {
    *out = RneLog();
    if (h[0] != 0x12 || h[1] != 2 || h[2] != 'D') {
        out->error = "not an event log (bad format bytes)";
        return false;
    }
    const uint64_t write_pos = le64(h + kWritePos);
    const uint64_t data_start = le64(h + kDataStart);
    const uint64_t wrap_limit = le64(h + kWrapLimit);
    const uint64_t wrap_mark = le64(h + kWrapMark);
    uint32_t high = le32(h + kCounterHigh);
    out->thread_id = le32(h + kThreadId);
    out->busy = h[kBusy] != 0;
    out->writing_file = h[kWritingFile] != 0;
    out->start_time_ns = le64(h + kStartTime);
    out->dump_time_ns = le64(h + kDumpTime);
    out->start_counter = le64(h + kStartCounter);
    out->dump_counter = le64(h + kDumpCounter);
    const auto* path = reinterpret_cast<const char*>(h + kProgramPath);
    const void* nul = std::memchr(path, 0, ZOLTA_PATH_SIZE);
    out->program_path.assign(path, nul != nullptr ? static_cast<const char*>(nul) - path : ZOLTA_PATH_SIZE);
    if (wrap_limit >= data_start && wrap_limit - data_start <= UINT32_MAX)
        out->data_size = wrap_limit - data_start + ZOLTA_MAX_RECORD;

    if (write_pos < data_start || (wrap_mark != 0 && wrap_mark < data_start)) {
        out->error = "write position or wrap mark before the data start";
        return false;
    }
    out->write_offset = write_pos - data_start;
    out->wrapped = wrap_mark != 0;
    out->wrap_offset = out->wrapped ? wrap_mark - data_start : 0;
    if (out->write_offset % 4 != 0 || out->wrap_offset % 4 != 0) {
        out->error = "write position or wrap mark not on a word boundary";
        return false;
    }
    if (out->write_offset > available) {
        out->error = "data region shorter than the write position";
        return false;
    }

    std::vector<RneEvent> newest_first;
    std::string why;
    bool ok = true;
    WalkEnd end = walk_back(data, 0, out->write_offset, false, &high, &newest_first, &out->clock_records, &why);
    if (end != WalkEnd::reached_bottom) {
        const uint64_t at = newest_first.empty() ? out->write_offset : newest_first.back().offset;
        out->error = at_offset(end == WalkEnd::damaged ? why.c_str() : "record reaching before the data start", at);
        ok = false;
    } else if (out->wrapped && out->wrap_offset > out->write_offset) {
        if (out->wrap_offset > available) {
            out->error = "data region shorter than the wrap mark";
            ok = false;
        } else {
            const size_t newer = newest_first.size();
            end = walk_back(data, out->write_offset, out->wrap_offset, true, &high, &newest_first,
                            &out->clock_records, &why);
            if (end == WalkEnd::damaged) {
                const uint64_t at = newest_first.size() > newer ? newest_first.back().offset : out->wrap_offset;
                out->error = at_offset(why.c_str(), at);
                ok = false;
            }
        }
    }
    out->events.assign(std::make_move_iterator(newest_first.rbegin()), std::make_move_iterator(newest_first.rend()));
    return ok;
}

}  // namespace

bool rne_parse(const void* bytes, size_t size, RneLog* out) {
    if (bytes == nullptr || size < ZOLTA_HEADER_SIZE) {
        *out = RneLog();
        out->error = "shorter than a log header";
        return false;
    }
    const auto* b = static_cast<const uint8_t*>(bytes);
    return parse_log(b, b + ZOLTA_HEADER_SIZE, size - ZOLTA_HEADER_SIZE, out);
}

bool rne_read_file(const char* path, RneLog* out) {
    std::FILE* f = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (f == nullptr) {
        *out = RneLog();
        out->error = "cannot open the file";
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return rne_parse(bytes.data(), bytes.size(), out);
}

bool rne_read_thread_log(const ThreadLog* log, RneLog* out) {
    if (log == nullptr) {
        *out = RneLog();
        out->error = "no log";
        return false;
    }
    const auto* h = reinterpret_cast<const uint8_t*>(log);
    const auto* data = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(log->data_start));
    const uint64_t size = log->wrap_limit >= log->data_start ? log->wrap_limit - log->data_start + ZOLTA_MAX_RECORD : 0;
    return parse_log(h, data, size, out);
}

bool rne_counter_to_unix_ns(const RneLog& log, uint64_t counter, int64_t* ns) {
    if (log.dump_time_ns == 0 || log.dump_counter <= log.start_counter || log.dump_time_ns < log.start_time_ns ||
        log.dump_time_ns > static_cast<uint64_t>(INT64_MAX))
        return false;
    const double ratio =
        static_cast<double>(log.dump_time_ns - log.start_time_ns) / static_cast<double>(log.dump_counter - log.start_counter);
    const double ticks = counter >= log.start_counter ? static_cast<double>(counter - log.start_counter)
                                                      : -static_cast<double>(log.start_counter - counter);
    // The offset alone goes through floating point, so the sum keeps
    // nanosecond precision.
    const double delta = ticks * ratio;
    const double start = static_cast<double>(log.start_time_ns);
    if (!(start + delta > -9.0e18 && start + delta < 9.0e18)) return false;
    *ns = static_cast<int64_t>(log.start_time_ns) + static_cast<int64_t>(std::llround(delta));
    return true;
}

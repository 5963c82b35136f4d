// rnecat's output: the header and the event lines of one RNE file, as text
// or as JSON.  Everything in the file is untrusted: names and texts are
// escaped, and a damaged time field cannot push a library routine out of its
// range, so whatever the reader recovered prints safely.
#include "rnecat_format.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Civil date from days since 1970-01-01 (proleptic Gregorian), valid for any
// count, so that a damaged time field cannot push a library routine out of
// its range.
void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// "YYYY-MM-DD HH:MM:SS.uuuuuu", with `sep` between date and time.
std::string format_time(int64_t ns, char sep) {
    int64_t secs = ns / 1000000000;
    int64_t frac = ns % 1000000000;
    if (frac < 0) {
        frac += 1000000000;
        --secs;
    }
    int64_t days = secs / 86400;
    int64_t rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    int64_t y = 0;
    unsigned m = 0, d = 0;
    civil_from_days(days, &y, &m, &d);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04" PRId64 "-%02u-%02u%c%02d:%02d:%02d.%06d", y, m, d, sep,
                  static_cast<int>(rem / 3600), static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60),
                  static_cast<int>(frac / 1000));
    return buf;
}

const char* kind_of(uint32_t type) {
    if (type >= ZOLTA_TYPE_U32 && type <= ZOLTA_TYPE_U32_LAST) return "u32";
    if (type >= ZOLTA_TYPE_ADDRESS && type <= ZOLTA_TYPE_U64_LAST) return "u64";
    if (type >= ZOLTA_TYPE_TEXT_EXTRA && type <= ZOLTA_TYPE_TEXT_EXTRA_LAST) return "text+extra";
    if (type >= ZOLTA_TYPE_BARE && type <= ZOLTA_TYPE_BARE_LAST) return "bare";
    return "text";
}

bool is_bare(uint32_t type) { return type >= ZOLTA_TYPE_BARE && type <= ZOLTA_TYPE_BARE_LAST; }
bool has_extra(uint32_t type) { return type >= ZOLTA_TYPE_TEXT_EXTRA && type <= ZOLTA_TYPE_TEXT_EXTRA_LAST; }
bool is_value_kind(uint32_t type) { return (type >= ZOLTA_TYPE_U32 && type <= ZOLTA_TYPE_U64_LAST) || is_bare(type); }

bool is_64_bit(uint32_t type) { return type >= ZOLTA_TYPE_ADDRESS && type <= ZOLTA_TYPE_U64_LAST; }

std::string hex_value(const RneEvent& e) {
    char buf[24];
    if (is_64_bit(e.type))
        std::snprintf(buf, sizeof buf, "0x%016" PRIx64, e.value);
    else
        std::snprintf(buf, sizeof buf, "0x%08" PRIx32, static_cast<uint32_t>(e.value));
    return buf;
}

void append_hex_byte(std::string* out, const char* prefix, unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%s%02x", prefix, c);
    *out += buf;
}

std::string quote_text(const std::string& s) {
    std::string out = "\"";
    for (const unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c >= 0x20 && c < 0x7f)
                    out += static_cast<char>(c);
                else
                    append_hex_byte(&out, "\\x", c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string rnecat_escape_name(const std::string& s) {
    if (s.empty()) return "\"\"";
    std::string out;
    for (const unsigned char c : s) {
        if (c > 0x20 && c < 0x7f && c != '\\')
            out += static_cast<char>(c);
        else
            append_hex_byte(&out, "\\x", c);
    }
    return out;
}

std::string rnecat_json_string(const std::string& s) {
    std::string out = "\"";
    for (const unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            append_hex_byte(&out, "\\u00", c);
        }
    }
    return out + "\"";
}


std::string rnecat_time_text(const RneLog& clock, uint64_t counter) {
    int64_t ns = 0;
    if (rne_counter_to_unix_ns(clock, counter, &ns)) return format_time(ns, ' ');
    char buf[40];
    std::snprintf(buf, sizeof buf, "counter 0x%016" PRIx64, counter);
    return buf;
}

std::string rnecat_event_columns(const RneEvent& e) {
    char type[32];
    std::snprintf(type, sizeof type, "%s(%" PRIu32 ")", kind_of(e.type), e.type);
    std::string line = type;
    line += "  ";
    line += is_bare(e.type) ? "-" : rnecat_escape_name(e.name);
    line += "  ";
    if (is_value_kind(e.type)) {
        line += std::to_string(e.value) + " " + hex_value(e);
    } else {
        line += e.has_text ? quote_text(e.text) : "(null)";
        if (has_extra(e.type)) line += " extra=" + std::to_string(e.extra);
    }
    return line;
}

std::string rnecat_event_json_members(const RneEvent& e) {
    std::string m = "\"counter\":" + std::to_string(e.counter);
    m += ",\"type\":" + std::to_string(e.type);
    m += ",\"kind\":\"" + std::string(kind_of(e.type)) + "\"";
    if (!is_bare(e.type)) m += ",\"name\":" + rnecat_json_string(e.name);
    if (is_value_kind(e.type)) {
        m += ",\"value\":" + std::to_string(e.value) + ",\"hex\":\"" + hex_value(e) + "\"";
    } else {
        m += ",\"text\":" + (e.has_text ? rnecat_json_string(e.text) : std::string("null"));
        if (has_extra(e.type)) m += ",\"extra\":" + std::to_string(e.extra);
    }
    return m + ",\"older_lap\":" + (e.older_lap ? "true" : "false");
}

const char* rnecat_kind(uint32_t type) { return kind_of(type); }

bool rnecat_header_was_read(bool whole, const RneLog& log) {
    return whole || (log.error != "cannot open the file" && log.error != "shorter than a log header" &&
                     log.error != "not an event log (bad format bytes)");
}

void rnecat_print_header(FILE* out, const char* path, const RneLog& log) {
    std::fprintf(out, "file:     %s\n", rnecat_escape_name(path).c_str());
    std::fprintf(out, "program:  %s\n", quote_text(log.program_path).c_str());
    std::fprintf(out, "thread:   %" PRIu32 "\n", log.thread_id);
    std::fprintf(out, "started:  %s UTC\n", format_time(static_cast<int64_t>(log.start_time_ns), ' ').c_str());
    if (log.dump_time_ns != 0)
        std::fprintf(out, "dumped:   %s UTC\n", format_time(static_cast<int64_t>(log.dump_time_ns), ' ').c_str());
    else
        std::fprintf(out, "dumped:   never (a log's backing file)\n");
    std::fprintf(out, "wrapped:  %s\n", log.wrapped ? "yes (the oldest events were overwritten)" : "no");
    std::fprintf(out, "events:   %zu\n", log.events.size());
}

void rnecat_print(FILE* out, const char* path, const RneLog& log, bool whole, bool json, bool separate) {
    if (!json && rnecat_header_was_read(whole, log)) {
        if (separate) std::fprintf(out, "\n");
        rnecat_print_header(out, path, log);
    }
    for (const RneEvent& e : log.events) {
        if (json) {
            int64_t ns = 0;
            std::string time = "\"time\":null,\"unix_ns\":null";
            if (rne_counter_to_unix_ns(log, e.counter, &ns))
                time = "\"time\":\"" + format_time(ns, 'T') + "Z\",\"unix_ns\":" + std::to_string(ns);
            std::fprintf(out, "{%s,%s}\n", time.c_str(), rnecat_event_json_members(e).c_str());
        } else {
            std::fprintf(out, "%s  %s\n", rnecat_time_text(log, e.counter).c_str(), rnecat_event_columns(e).c_str());
        }
    }
}

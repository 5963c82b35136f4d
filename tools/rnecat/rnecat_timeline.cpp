// rnecat's views over several files: one time order for the events of every
// thread given.
//
// Times come from each log's counter through the process's clock pairs.  The
// counter is process-wide and every log of a process carries the same start
// pair, so a live log's backing file, which was never dumped and has no dump
// pair of its own, is timed through the dump pair of any dumped log of the
// same process.  A process none of whose logs was dumped (one killed outright)
// has no wall-clock time at all: its events follow the timed ones, in counter
// order.
//
// The merge takes each file's events in the order the file holds them, so a
// thread's own order survives even where its counter readings do not rise.
#include "rnecat_timeline.h"

#include <cinttypes>
#include <functional>
#include <map>
#include <queue>
#include <set>
#include <tuple>
#include <utility>

#include "rnecat_format.h"

namespace {

bool same_process(const RneLog& a, const RneLog& b) {
    return a.start_time_ns == b.start_time_ns && a.start_counter == b.start_counter;
}

bool has_clock(const RneLog& clock) {
    int64_t ns = 0;
    return rne_counter_to_unix_ns(clock, clock.start_counter, &ns);
}

struct Timeline {
    std::vector<const RneSource*> sources;  // those whose header was read
    std::vector<RneLog> clocks;             // start and dump pairs only, one per source
    std::vector<std::pair<size_t, size_t>> order;  // (source, event), oldest first
};

RneLog clock_of(const std::vector<const RneSource*>& sources, const RneLog& log) {
    RneLog clock;
    clock.start_time_ns = log.start_time_ns;
    clock.start_counter = log.start_counter;
    clock.dump_time_ns = log.dump_time_ns;
    clock.dump_counter = log.dump_counter;
    for (size_t i = 0; i < sources.size() && !has_clock(clock); ++i) {
        if (!same_process(sources[i]->log, log)) continue;
        clock.dump_time_ns = sources[i]->log.dump_time_ns;
        clock.dump_counter = sources[i]->log.dump_counter;
    }
    return clock;
}

// Timed events first, by wall-clock time; then the others by counter.
std::pair<int, uint64_t> sort_key(const RneLog& clock, const RneEvent& e) {
    int64_t ns = 0;
    if (!rne_counter_to_unix_ns(clock, e.counter, &ns)) return {1, e.counter};
    return {0, static_cast<uint64_t>(ns) ^ (uint64_t{1} << 63)};
}

Timeline build_timeline(const std::vector<RneSource>& all) {
    Timeline t;
    for (const RneSource& s : all)
        if (rnecat_header_was_read(s.whole, s.log)) t.sources.push_back(&s);
    for (const RneSource* s : t.sources) t.clocks.push_back(clock_of(t.sources, s->log));

    using Head = std::tuple<int, uint64_t, size_t>;  // key, source
    std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
    std::vector<size_t> next(t.sources.size(), 0);
    const auto push = [&](size_t i) {
        if (next[i] == t.sources[i]->log.events.size()) return;
        const auto key = sort_key(t.clocks[i], t.sources[i]->log.events[next[i]]);
        heads.emplace(key.first, key.second, i);
    };
    for (size_t i = 0; i < t.sources.size(); ++i) push(i);
    while (!heads.empty()) {
        const size_t i = std::get<2>(heads.top());
        heads.pop();
        t.order.emplace_back(i, next[i]++);
        push(i);
    }
    return t;
}

std::string base_name(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The process id in a dump file's name, <pid>_<tid>.rne or
// <pid>_<tid>_map.rne; 0 for a name of another form.
uint32_t pid_from_name(const std::string& path) {
    const std::string name = base_name(path);
    uint64_t pid = 0;
    size_t i = 0;
    for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && pid <= UINT32_MAX; ++i)
        pid = pid * 10 + static_cast<unsigned>(name[i] - '0');
    if (i == 0 || pid > UINT32_MAX || i == name.size() || name[i] != '_') return 0;
    size_t j = i + 1;
    while (j < name.size() && name[j] >= '0' && name[j] <= '9') ++j;
    const std::string rest = name.substr(j);
    return j > i + 1 && (rest == ".rne" || rest == "_map.rne") ? static_cast<uint32_t>(pid) : 0;
}

// Trace process ids, one per process (per start pair): the id in the file
// names where it is there and no other process has taken it, else the
// smallest free number.
std::vector<uint32_t> trace_pids(const Timeline& t) {
    std::vector<uint32_t> pids(t.sources.size(), 0);
    std::set<uint32_t> used;
    std::map<std::pair<uint64_t, uint64_t>, uint32_t> of_process;
    for (const bool named : {true, false}) {
        uint32_t next_free = 1;
        for (size_t i = 0; i < t.sources.size(); ++i) {
            const RneLog& log = t.sources[i]->log;
            const auto process = std::make_pair(log.start_time_ns, log.start_counter);
            const auto known = of_process.find(process);
            if (known != of_process.end()) {
                pids[i] = known->second;
                continue;
            }
            uint32_t pid = next_free;
            if (named) {
                pid = pid_from_name(t.sources[i]->path);
                if (pid == 0 || used.count(pid) != 0) continue;
            } else {
                while (used.count(pid) != 0) ++pid;
                next_free = pid;
            }
            used.insert(pid);
            of_process[process] = pids[i] = pid;
        }
    }
    return pids;
}

// Microseconds with three decimals, the Trace Event format's unit.
std::string micros(bool negative, uint64_t ns) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%" PRIu64 ".%03" PRIu64, negative ? "-" : "", ns / 1000, ns % 1000);
    return buf;
}

std::string trace_time(const RneLog& clock, const RneEvent& e) {
    int64_t ns = 0;
    if (!rne_counter_to_unix_ns(clock, e.counter, &ns)) return micros(false, e.counter);
    return ns < 0 ? micros(true, 0 - static_cast<uint64_t>(ns)) : micros(false, static_cast<uint64_t>(ns));
}

}  // namespace

void rnecat_print_merged(FILE* out, const std::vector<RneSource>& sources) {
    const Timeline t = build_timeline(sources);
    for (size_t i = 0; i < t.sources.size(); ++i) {
        rnecat_print_header(out, t.sources[i]->path.c_str(), t.sources[i]->log);
        std::fprintf(out, "\n");
    }
    for (const auto& [i, k] : t.order) {
        const RneEvent& e = t.sources[i]->log.events[k];
        std::fprintf(out, "%s  %" PRIu32 "  %s\n", rnecat_time_text(t.clocks[i], e.counter).c_str(),
                     t.sources[i]->log.thread_id, rnecat_event_columns(e).c_str());
    }
}

void rnecat_print_trace_events(FILE* out, const std::vector<RneSource>& sources) {
    const Timeline t = build_timeline(sources);
    const std::vector<uint32_t> pids = trace_pids(t);
    const char* separator = "";
    const auto emit = [&](const std::string& object) {
        std::fprintf(out, "%s\n%s", separator, object.c_str());
        separator = ",";
    };
    const auto ids = [&](size_t i) {
        return ",\"pid\":" + std::to_string(pids[i]) + ",\"tid\":" + std::to_string(t.sources[i]->log.thread_id);
    };
    std::fprintf(out, "{\"traceEvents\":[");
    std::set<uint32_t> named_processes;
    std::set<std::pair<uint32_t, uint32_t>> named_threads;
    for (size_t i = 0; i < t.sources.size(); ++i) {
        const RneLog& log = t.sources[i]->log;
        if (named_processes.insert(pids[i]).second) {
            const std::string name = log.program_path + (has_clock(t.clocks[i]) ? "" : " (times are raw counter values)");
            emit("{\"name\":\"process_name\",\"ph\":\"M\"" + ids(i) + ",\"args\":{\"name\":" + rnecat_json_string(name) + "}}");
        }
        if (named_threads.emplace(pids[i], log.thread_id).second) {
            const std::string name = base_name(log.program_path) + " " + std::to_string(log.thread_id);
            emit("{\"name\":\"thread_name\",\"ph\":\"M\"" + ids(i) + ",\"args\":{\"name\":" + rnecat_json_string(name) + "}}");
        }
    }
    for (const auto& [i, k] : t.order) {
        const RneEvent& e = t.sources[i]->log.events[k];
        const std::string kind = rnecat_kind(e.type);
        const std::string name = kind == "bare" ? kind : rnecat_escape_name(e.name);
        emit("{\"name\":" + rnecat_json_string(name) + ",\"cat\":\"" + kind + "\",\"ph\":\"i\",\"s\":\"t\",\"ts\":" +
             trace_time(t.clocks[i], e) + ids(i) + ",\"args\":{" + rnecat_event_json_members(e) + "}}");
    }
    std::fprintf(out, "\n],\"displayTimeUnit\":\"ms\"}\n");
}

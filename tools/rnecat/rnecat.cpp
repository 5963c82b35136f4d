// rnecat: prints RNE files (crash and thread-end dumps, and the backing files
// of live logs) as text: each file's header, then its events oldest first, one
// per line, with wall-clock times recovered from the counter pairs in the
// header.  --json prints one JSON object per event instead, for scripts;
// --merge puts the events of all the files into one time order, and
// --trace-event writes them as a document for trace viewers.  A directory
// stands for the RNE files in it.
//
// Everything in the file is untrusted: the reader library bounds every read,
// and names and texts are escaped on output, so a damaged or hostile file
// gives an error message and status 1, never a crash or raw control bytes on
// the terminal.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "rnecat_format.h"
#include "rnecat_timeline.h"

namespace {

const char kHelp[] =
    "NAME\n"
    "    rnecat - print the events of an RNE event-log file\n"
    "\n"
    "SYNOPSIS\n"
    "    rnecat [--json | --merge | --trace-event] FILE|DIR...\n"
    "    rnecat --help\n"
    "\n"
    "DESCRIPTION\n"
    "    Programs built on the symkeep runtime keep a per-thread event log in\n"
    "    memory and write it to an RNE file (<pid>_<tid>.rne) when they fail, and,\n"
    "    with ZEP_RNE_DUMP_PATH set, at every thread's end and at normal exit.\n"
    "    rnecat reads such a file, or the _map.rne file that backs a live log,\n"
    "    and prints its header and its events, oldest first. A directory stands\n"
    "    for every file in it whose name ends in .rne (so both <pid>_<tid>.rne\n"
    "    and <pid>_<tid>_map.rne), in name order.\n"
    "\n"
    "    The header gives the program path, the thread id, the start and dump\n"
    "    times (UTC) and whether the log wrapped (its oldest events were then\n"
    "    overwritten). Each event line holds:\n"
    "\n"
    "        TIME  TYPE(CODE)  NAME  VALUE\n"
    "\n"
    "    TIME is the UTC wall-clock time with microseconds, recovered from the\n"
    "    time-stamp counter through the start and dump times; a file never dumped\n"
    "    (a backing file left by a killed process) shows the raw counter instead.\n"
    "    TYPE is text, u32, u64, text+extra or bare (no name); NAME has every\n"
    "    byte outside printable ASCII, the space and the backslash written as\n"
    "    \\xHH. A text VALUE is quoted, with C escapes; a null text prints as\n"
    "    (null). A 32-bit or 64-bit VALUE is printed in decimal and in hex.\n"
    "\n"
    "OPTIONS\n"
    "    --json  One JSON object per event and line, with the keys time (ISO 8601\n"
    "            UTC or null), unix_ns (or null), counter, type, kind, name (absent\n"
    "            for bare events), text (string or null, text kinds), value and\n"
    "            hex (value kinds), extra (text+extra), older_lap. Bytes outside\n"
    "            printable ASCII are written as \\u00XX.\n"
    "    --merge All the files' headers, then the events of all of them in one\n"
    "            time order, each line with the thread id after the time:\n"
    "                TIME  THREAD  TYPE(CODE)  NAME  VALUE\n"
    "            A backing file is timed through a dumped log of the same\n"
    "            process when one is given; events that cannot be timed\n"
    "            (a process killed before any dump) follow, in counter order.\n"
    "    --trace-event\n"
    "            One Trace Event JSON document (the JSON Object Format, with a\n"
    "            traceEvents array) for all the files, for trace viewers such as\n"
    "            the Perfetto UI (ui.perfetto.dev) and chrome://tracing: one\n"
    "            track per thread, named with the program and the thread id;\n"
    "            each event an instant event (ph \"i\") at its wall-clock time in\n"
    "            microseconds since 1970 UTC, named with the event's name, its\n"
    "            --json fields as args. The process id is taken from the file\n"
    "            names. A process with no wall-clock time is placed at its raw\n"
    "            counter values and says so in its name.\n"
    "    --help  This text.\n"
    "\n"
    "EXIT STATUS\n"
    "    0 every file was read whole; 1 a file or directory could not be read, or\n"
    "    a file is damaged (the error goes to standard error; the events\n"
    "    recovered before the damage and those of every other file are still\n"
    "    printed); 2 bad usage.\n"
    "\n"
    "EXAMPLE\n"
    "    ZEP_RNE_DUMP_PATH=/tmp/rne symkeep -keep main -o out.sh prog\n"
    "    rnecat /tmp/rne\n"
    "    rnecat --trace-event /tmp/rne > trace.json\n";

const char kUsage[] = "Usage: rnecat [--json | --merge | --trace-event] FILE|DIR...\n";

enum class Mode { kText, kJson, kMerge, kTraceEvent };

// The RNE files of a directory, in name order; false with a message when
// the directory cannot be read or holds none.
bool list_directory(const char* dir, std::vector<std::string>* files) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<std::string> found;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code type_ec;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".rne") == 0 && it->is_regular_file(type_ec))
            found.push_back(it->path().string());
    }
    if (ec) {
        std::fprintf(stderr, "rnecat: %s: cannot read the directory: %s\n", dir, ec.message().c_str());
        return false;
    }
    if (found.empty()) {
        std::fprintf(stderr, "rnecat: %s: no .rne files in the directory\n", dir);
        return false;
    }
    std::sort(found.begin(), found.end());
    files->insert(files->end(), found.begin(), found.end());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Mode mode = Mode::kText;
    int first = 1;
    for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; ++first) {
        const char* arg = argv[first];
        if (std::strcmp(arg, "--") == 0) {
            ++first;
            break;
        }
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        const Mode chosen = std::strcmp(arg, "--json") == 0          ? Mode::kJson
                            : std::strcmp(arg, "--merge") == 0       ? Mode::kMerge
                            : std::strcmp(arg, "--trace-event") == 0 ? Mode::kTraceEvent
                                                                     : Mode::kText;
        if (chosen == Mode::kText) {
            std::fprintf(stderr, "rnecat: unknown option %s\n%s", arg, kUsage);
            return 2;
        }
        if (mode != Mode::kText && mode != chosen) {
            std::fprintf(stderr, "rnecat: --json, --merge and --trace-event exclude each other\n%s", kUsage);
            return 2;
        }
        mode = chosen;
    }
    if (first >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    int status = 0;
    std::vector<std::string> paths;
    for (int i = first; i < argc; ++i) {
        std::error_code ec;
        if (!std::filesystem::is_directory(argv[i], ec))
            paths.push_back(argv[i]);
        else if (!list_directory(argv[i], &paths))
            status = 1;
    }

    // Text and JSON go file by file; the views over all files need them all.
    std::vector<RneSource> sources;
    for (size_t i = 0; i < paths.size(); ++i) {
        RneSource s;
        s.path = paths[i];
        s.whole = rne_read_file(s.path.c_str(), &s.log);
        if (mode == Mode::kText || mode == Mode::kJson) {
            rnecat_print(stdout, s.path.c_str(), s.log, s.whole, mode == Mode::kJson, i > 0);
            std::fflush(stdout);
        }
        if (!s.whole) {
            std::fprintf(stderr, "rnecat: %s: %s\n", s.path.c_str(), s.log.error.c_str());
            status = 1;
        }
        if (mode == Mode::kMerge || mode == Mode::kTraceEvent) sources.push_back(std::move(s));
    }
    if (mode == Mode::kMerge) rnecat_print_merged(stdout, sources);
    if (mode == Mode::kTraceEvent) rnecat_print_trace_events(stdout, sources);
    return status;
}

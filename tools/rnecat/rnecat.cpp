// rnecat: prints an RNE file (a crash or thread-end dump, or the backing file
// of a log) as text: the header, then every event oldest first, one per line,
// with wall-clock times recovered from the counter pairs in the header.
// --json prints one JSON object per event instead, for scripts.
//
// Everything in the file is untrusted: the reader library bounds every read,
// and names and texts are escaped on output, so a damaged or hostile file
// gives an error message and status 1, never a crash or raw control bytes on
// the terminal.
#include <cstdio>
#include <cstring>

#include "rnecat_format.h"

namespace {

const char kHelp[] =
    "NAME\n"
    "    rnecat - print the events of an RNE event-log file\n"
    "\n"
    "SYNOPSIS\n"
    "    rnecat [--json] FILE...\n"
    "    rnecat --help\n"
    "\n"
    "DESCRIPTION\n"
    "    Programs built on the symkeep runtime keep a per-thread event log in\n"
    "    memory and write it to an RNE file (<pid>_<tid>.rne) when they fail, and,\n"
    "    with ZEP_RNE_DUMP_PATH set, at every thread's end and at normal exit.\n"
    "    rnecat reads such a file, or the _map.rne file that backs a live log,\n"
    "    and prints its header and its events, oldest first.\n"
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
    "    --help  This text.\n"
    "\n"
    "EXIT STATUS\n"
    "    0 every file was read whole; 1 a file could not be read or is damaged (the\n"
    "    events recovered before the damage are printed, then the error on\n"
    "    standard error); 2 bad usage.\n"
    "\n"
    "EXAMPLE\n"
    "    ZEP_RNE_DUMP_PATH=/tmp/rne symkeep -keep main -o out.sh prog\n"
    "    rnecat /tmp/rne/*.rne\n";

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    int first = 1;
    for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; ++first) {
        if (std::strcmp(argv[first], "--") == 0) {
            ++first;
            break;
        }
        if (std::strcmp(argv[first], "--help") == 0 || std::strcmp(argv[first], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[first], "--json") != 0) {
            std::fprintf(stderr, "rnecat: unknown option %s\nUsage: rnecat [--json] FILE...\n", argv[first]);
            return 2;
        }
        json = true;
    }
    if (first >= argc) {
        std::fprintf(stderr, "Usage: rnecat [--json] FILE...\n");
        return 2;
    }

    int status = 0;
    for (int i = first; i < argc; ++i) {
        RneLog log;
        const bool whole = rne_read_file(argv[i], &log);
        rnecat_print(stdout, argv[i], log, whole, json, i > first);
        std::fflush(stdout);
        if (!whole) {
            std::fprintf(stderr, "rnecat: %s: %s\n", argv[i], log.error.c_str());
            status = 1;
        }
    }
    return status;
}

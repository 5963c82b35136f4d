// The RNE reader and rnecat on arbitrary bytes: rne_parse must stay inside
// the buffer whatever the header and the records say, and report damage
// instead of crashing; what it recovers must stay within what the bytes can
// hold; and rnecat's text, JSON, merged and trace output must print it (to
// /dev/null).
//
// The input is copied into a block of exactly its size so that the address
// sanitizer sees a read one byte past the end.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "rnecat_format.h"
#include "rnecat_timeline.h"
#include "shared/eventlog/rnereader.h"
#include "shared/eventlog/zolta.h"

namespace {
FILE* g_sink;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    g_sink = std::fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    RneLog log;
    const bool whole = rne_parse(bytes.empty() ? nullptr : bytes.data(), bytes.size(), &log);
    if (!whole && log.error.empty()) fuzz_finding("rne_parse", "refused without saying why");
    if (whole && !log.error.empty()) fuzz_finding("rne_parse", "accepted with an error: " + log.error);
    // The smallest record is 8 bytes; names and texts have their limits.
    if (log.events.size() > size / 8) fuzz_finding("rne_parse", "more events than the bytes can hold");
    for (const RneEvent& e : log.events)
        if (e.name.size() > ZOLTA_MAX_NAME || e.text.size() > ZOLTA_MAX_TEXT)
            fuzz_finding("rne_parse", "a name or text beyond its limit");
    rnecat_print(g_sink, "fuzz.rne", log, whole, false, false);
    rnecat_print(g_sink, "fuzz.rne", log, whole, true, false);
    const std::vector<RneSource> sources = {{"1_2_map.rne", log, whole}, {"1_3.rne", log, whole}};
    rnecat_print_merged(g_sink, sources);
    rnecat_print_trace_events(g_sink, sources);
    return 0;
}

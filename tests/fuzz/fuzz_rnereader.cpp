// The RNE reader and rnecat on arbitrary bytes: rne_parse stays inside the buffer (libFuzzer's block of exactly
// the input's size) whatever the header and records say, reports damage, and recovers no more than the bytes hold;
// rnecat prints what it recovered as text, JSON, merged and trace output (to stderr: /dev/null).

#include "fuzz_support.h"
#include "rnecat_format.h"
#include "rnecat_timeline.h"
#include "shared/eventlog/rnereader.h"
#include "shared/eventlog/zolta.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RneLog log;
    const bool whole = rne_parse(size != 0 ? data : nullptr, size, &log);
    if (whole != log.error.empty()) fuzz::finding("rne_parse", "answer and error disagree: " + log.error);
    if (log.events.size() > size / 8) fuzz::finding("rne_parse", "more events than 8-byte records fit");
    for (const RneEvent& e : log.events)
        if (e.name.size() > ZOLTA_MAX_NAME || e.text.size() > ZOLTA_MAX_TEXT) fuzz::finding("rne_parse", "a name or text too long");
    for (bool json : {false, true}) rnecat_print(stderr, "fuzz.rne", log, whole, json, false);
    const std::vector<RneSource> sources = {{"1_2_map.rne", log, whole}, {"1_3.rne", log, whole}};
    rnecat_print_merged(stderr, sources);
    rnecat_print_trace_events(stderr, sources);
    return 0;
}

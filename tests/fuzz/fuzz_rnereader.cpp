// The RNE reader on arbitrary bytes: rne_parse must stay inside the buffer
// whatever the header and the records say, and report damage instead of
// crashing.  The counter conversion runs on every recovered event.
//
// The input is copied into a block of exactly its size so that the address
// sanitizer sees a read one byte past the end.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "shared/eventlog/rnereader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    RneLog log;
    const bool whole = rne_parse(bytes.empty() ? nullptr : bytes.data(), bytes.size(), &log);
    if (!whole && log.error.empty()) fuzz_finding("rne_parse", "refused without saying why");
    if (whole && !log.error.empty()) fuzz_finding("rne_parse", "accepted with an error: " + log.error);
    for (const RneEvent& e : log.events) {
        int64_t ns;
        rne_counter_to_unix_ns(log, e.counter, &ns);
    }
    return 0;
}

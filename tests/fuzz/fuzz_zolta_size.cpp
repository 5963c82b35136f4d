// The event log's size variables: the values of ZEP_ZOLTA_LOG_SIZE and
// ZEP_ZOLTA_LOG_BYTES as arbitrary texts.
//
// Input: a control byte (bit 0: the first variable is unset, bit 1: the
// second is unset), then the two values separated by a NUL byte.  Whatever
// the texts, the answer is the default or a size of at least the smallest
// accepted one, and never more than fits the 32-bit size.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "shared/eventlog/zolta.h"
#include "shared/eventlog/zolta_testing.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t cut = text.find('\0');
    std::string first = text.substr(0, cut);
    std::string second = cut == std::string::npos ? std::string() : text.substr(cut + 1);
    const char* size_value = (data[0] & 1) ? nullptr : first.c_str();
    const char* bytes_value = (data[0] & 2) ? nullptr : second.c_str();
    const uint32_t chosen = zolta_parse_log_size(size_value, bytes_value);
    if (chosen != ZOLTA_DEFAULT_LOG_SIZE && chosen < ZOLTA_MIN_LOG_SIZE)
        fuzz_finding("zolta_parse_log_size", "size " + std::to_string(chosen) + " below the smallest accepted");
    return 0;
}

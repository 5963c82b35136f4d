// The values of ZEP_ZOLTA_LOG_SIZE and ZEP_ZOLTA_LOG_BYTES as arbitrary texts.  Input: a control byte (bit 0: the
// first is unset, bit 1: the second), then the two values separated by a NUL.  The answer is the default or at
// least the smallest accepted size.
#include "fuzz_support.h"
#include "shared/eventlog/zolta.h"
#include "shared/eventlog/zolta_testing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t cut = text.find('\0');
    const std::string first = text.substr(0, cut), second = cut == std::string::npos ? "" : text.substr(cut + 1);
    const uint32_t chosen = zolta_parse_log_size(data[0] & 1 ? nullptr : first.c_str(), data[0] & 2 ? nullptr : second.c_str());
    if (chosen != ZOLTA_DEFAULT_LOG_SIZE && chosen < ZOLTA_MIN_LOG_SIZE) fuzz::finding("zolta_parse_log_size", std::to_string(chosen));
    return 0;
}

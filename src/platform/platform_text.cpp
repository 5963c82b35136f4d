#include "platform/platform_text.h"

#include <cstring>

size_t plat_copy_text(const char* text, char* buf, size_t cap) {
    if (text == nullptr || buf == nullptr || cap == 0) return 0;
    size_t n = std::strlen(text);
    if (n == 0 || n >= cap) {
        buf[0] = '\0';
        return 0;
    }
    std::memcpy(buf, text, n + 1);
    return n;
}

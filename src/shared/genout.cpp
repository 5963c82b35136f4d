// Diagnostics: every message of the system becomes one line on standard
// error, "<program>: <word>: <message>[: <system text>]", is counted by
// severity and is copied (without its newline) into the calling thread's
// event log so that a crash report shows what was said before the crash.
//
// The line is printed straight to the stream while a bounded copy is built
// for the log: a message longer than the copy's 4095 bytes is printed whole
// and only its log copy is cut.
#include "shared/genout.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "shared/eventlog/zolta.h"
#include "shared/genmem.h"
#include "shared/gensys.h"
#include "shared/sprintf/mt_sprintf.h"

MessageHookFn MessageHook = gen_domessage;
MessageHookFn AssertMessageHook = gen_domessage;
bool AltPrefixStyle = false;
uint32_t gen_error_count[7];
uint32_t gen_error_total;

namespace {

constexpr size_t kLineCapacity = 4096;  // 4095 bytes of text plus the NUL

const char* const kPrefixes[7] = {nullptr, "disaster", "fatal", "error", "warning", "info", nullptr};
const char* const kAltPrefixes[7] = {"ERROR", "ERROR: DISASTER", "ERROR: FATAL", "ERROR", "WARNING", "INFO",
                                     nullptr};

// The event-log copy of the line; appends stop silently at capacity.
struct LineCopy {
    char text[kLineCapacity];
    size_t length = 0;

    void append(const char* s) {
        while (*s != '\0' && length < kLineCapacity - 1) text[length++] = *s++;
    }
};


}  // namespace

void gen_domessage(uint32_t code, const char* format, va_list args) {
    int saved_errno = errno;
    LineCopy line;
    line.text[0] = '\0';

    bool append_error = false;
    if (code > GEN_SEV_SYSERR) {
        append_error = true;
        code -= GEN_SEV_SYSERR;
    }

    const char* word = nullptr;
    if (code < 7) {
        word = (AltPrefixStyle ? kAltPrefixes : kPrefixes)[code];
        ++gen_error_count[code];
        if (code < 4) ++gen_error_total;
    }

    std::fflush(stdout);

    const char* name = gen_getprogname();
    if (name != nullptr && *name != '\0' && code != GEN_SEV_MESSAGE) {
        line.append(name);
        line.append(": ");
        mt_fprintf(stderr, "%s: ", name);
    }

    const char* log_name = "DOMESSAGE Unknown Code";
    if (word != nullptr) {
        line.append(word);
        line.append(": ");
        mt_fprintf(stderr, "%s: ", word);
        log_name = word;
    }

    if (format != nullptr) {
        va_list again;
        va_copy(again, args);
        mt_vfprintf(stderr, format, args);
        mt_vsprintf(line.text + line.length, kLineCapacity - line.length, format, again);
        va_end(again);
        line.length += std::strlen(line.text + line.length);
    }

    if (append_error && saved_errno != 0) {
        const char* text = plat_strerror(saved_errno);
        mt_fprintf(stderr, ": %s\n", text);
        line.append(": ");
        line.append(text);
        saved_errno = 0;
    } else if (format != nullptr) {
        size_t n = std::strlen(format);
        if (n == 0 || format[n - 1] != '\n') std::fputc('\n', stderr);
    }

    std::fflush(stderr);
    line.text[line.length] = '\0';
    // The log entry carries no newline even when the format ended in one.
    if (line.length > 0 && line.text[line.length - 1] == '\n') line.text[--line.length] = '\0';
    ZOLTA_LogText(log_name, line.text);
    errno = saved_errno;
}

void gen_message(uint32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    MessageHook(code, format, args);
    va_end(args);
}

#define GEN_WRAPPER(fn, code)                 \
    void fn(const char* format, ...) {        \
        va_list args;                         \
        va_start(args, format);               \
        MessageHook((code), format, args);    \
        va_end(args);                         \
    }

GEN_WRAPPER(gen_error, GEN_SEV_ERROR)
GEN_WRAPPER(gen_warning, GEN_SEV_WARNING)
GEN_WRAPPER(gen_info, GEN_SEV_INFO)
GEN_WRAPPER(gen_fatal, GEN_SEV_SYSERR + GEN_SEV_FATAL)

#undef GEN_WRAPPER

char* gen_format_alloc(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = mt_vsprintf(nullptr, 0, format, args);
    va_end(args);
    size_t size = static_cast<size_t>(n < 0 ? 0 : n) + 1;
    char* text = static_cast<char*>(gen_try_alloc(size));
    if (text == nullptr) {
        va_end(again);
        gen_out_of_memory(size);
    }
    mt_vsprintf(text, size, format, again);
    va_end(again);
    return text;
}

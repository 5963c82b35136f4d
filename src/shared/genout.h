// Diagnostics: one line on standard error in a fixed layout,
//   <program name>: <severity word>: <message>[: <system error text>]
// counted by severity and copied into the calling thread's event log.
#pragma once

#include <cstdarg>
#include <cstdint>

enum GenSeverity : uint32_t {
    GEN_SEV_PLAIN_REPORT = 0,  // no word; precedes an exit with status 0
    GEN_SEV_DISASTER = 1,
    GEN_SEV_FATAL = 2,
    GEN_SEV_ERROR = 3,
    GEN_SEV_WARNING = 4,
    GEN_SEV_INFO = 5,
    GEN_SEV_MESSAGE = 6,  // no program name, no word
    GEN_SEV_SYSERR = 100, // added to a code: append the text for errno
};

using MessageHookFn = void (*)(uint32_t code, const char* format, va_list args);

extern MessageHookFn MessageHook;
extern MessageHookFn AssertMessageHook;
extern bool AltPrefixStyle;
extern uint32_t gen_error_count[7];
extern uint32_t gen_error_total;

void gen_domessage(uint32_t code, const char* format, va_list args);

void gen_error(const char* format, ...);
void gen_warning(const char* format, ...);
void gen_info(const char* format, ...);
void gen_fatal(const char* format, ...);

// Calls MessageHook with a variable argument list.
void gen_message(uint32_t code, const char* format, ...);

// New formatted string, released through FreeHook.  Its block is taken
// without AllocHook (from gen_try_alloc); a failure ends the program through
// gen_out_of_memory all the same.
char* gen_format_alloc(const char* format, ...);

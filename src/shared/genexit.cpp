// Fatal exits and assertions.
//
// gen_exit guards against being entered twice: termination handlers may
// themselves end the program, and running them again from inside would
// loop or run them twice.
#include "shared/genexit.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "shared/gensys.h"
#include "shared/sprintf/mt_sprintf.h"

ExitHookFn ExitHook = gen_exit;
AbortDumpHookFn AbortDumpHook = nullptr;

namespace {

bool g_exiting = false;

void ignore_free(void*) {}

void report_via(MessageHookFn hook, uint32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    hook(code, format, args);
    va_end(args);
}

}  // namespace

void gen_fatal_exit(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    MessageHook(status != 0 ? GEN_SEV_FATAL : GEN_SEV_PLAIN_REPORT, format, args);
    va_end(args);
    gen_call_exit_hook(status);
}

void gen_perror_exit(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    MessageHook(GEN_SEV_SYSERR + GEN_SEV_FATAL, format, args);
    va_end(args);
    gen_call_exit_hook(status);
}

void gen_exit(int status) {
    // A second request while termination handlers run must not run them
    // again (they may be what called us).
    if (g_exiting) plat_quick_exit(status);
    g_exiting = true;
    FreeHook = ignore_free;
    std::exit(status);
}

bool gen_exiting() { return g_exiting; }

void gen_call_exit_hook(int status) {
    ExitHook(status);
    // A replaced hook is allowed to longjmp out, never to return.
    plat_quick_exit(status);
}

void gen_assert_check(int condition, const char* expression, const char* file, int line, int extra) {
    if (condition) return;
    const char* name = gen_getprogname();
    if (name == nullptr) name = "";
    char extra_text[32] = {0};
    if (extra != 0) mt_sprintf(extra_text, sizeof extra_text, "[%d] ", extra);
    const char* in = *name != '\0' ? " in " : "";
    if (expression != nullptr && std::strcmp(expression, "x") != 0)
        report_via(AssertMessageHook, GEN_SEV_MESSAGE, "Assertion (%s) %sfailed in '%s' on line %d%s%s",
                        expression, extra_text, file, line, in, name);
    else
        report_via(AssertMessageHook, GEN_SEV_MESSAGE, "Assertion %sfailed in '%s' on line %d%s%s",
                        extra_text, file, line, in, name);
    if (AbortDumpHook != nullptr) AbortDumpHook(nullptr, "encountered an assertion failure");
    gen_call_exit_hook(1);
}

void gen_reset_hooks_for_tests() {
    AllocHook = gen_calloc;
    ReallocHook = gen_realloc;
    FreeHook = gen_free;
    ExitHook = gen_exit;
    g_exiting = false;
}

// NVPATH and the path routines.  Input: a control byte, then NUL-separated fields: the value of NVPATH (NVSRPATH
// by bit 6), then paths for every routine, alone and in pairs (lookups read only: an update copies files between
// whatever trees the input names).  gen_path_normalise and V_compath never lengthen a text ("." for an empty one);
// a second normalisation changes nothing.

#include "fuzz_support.h"
#include "shared/genstr.h"
#include "shared/gensys.h"
#include "shared/viewpath/viewpath.h"

char g_nvpath[4096 + 16], g_debug[] = "ZEP_VP_DEBUG=1";  // putenv keeps them (setenv: a copy per value)
uint8_t g_control;
std::vector<std::string> g_fields;

void one_path(const std::string& p, char sep, int lookup) {
    const char* s = p.c_str();
    char *norm = gen_strdup(s), *compact = static_cast<char*>(std::memcpy(AllocHook(p.size() + 2, 1), s, p.size() + 1));  // room for "."
    gen_path_normalise(norm, sep);  // in place
    const std::string once = norm;
    gen_path_normalise(norm, sep);
    if (once.size() > p.size() || once != norm) fuzz::finding("gen_path_normalise lengthened or unsettled", p);
    V_compath(compact);
    if (std::strlen(compact) > std::max<size_t>(p.size(), 1)) fuzz::finding("V_compath lengthened", p);
    for (char* answer : {norm, compact, V_relpath(s), V_resolve(s, lookup), gen_dirname(s), gen_setext(s, nullptr), gen_abspath(s),
                         gen_fullpath(s), gen_normalise_dirpath(s)})
        FreeHook(answer);
    gen_vp_access(s, (g_control >> 4) & 5);  // existence, execute and read tests only
    gen_basename(s), gen_getext(s), gen_hasext(s, nullptr), gen_isabsolute(s), gen_isbarename(s), gen_isdir(s);
    gen_strtou32(s, nullptr, (g_control & 1) ? 16 : 10);
}

void run() {
    V_reset_for_tests();
    gen_viewpathing(g_control & 3);
    V_get_vpath();
    const char sep = (g_control & 8) ? '\\' : '/';
    for (size_t i = 1; i < g_fields.size(); ++i) one_path(g_fields[i], sep, (g_control & 4) ? V_LOOKUP_NONE : V_LOOKUP_READ);
    for (size_t i = 0; i + 1 < g_fields.size(); ++i) {
        const char *a = g_fields[i].c_str(), *b = g_fields[i + 1].c_str();
        for (char* answer : {gen_pathjoin(a, b, sep), gen_pathjoin_or_copy(a, b, sep), V_relative_to(a, b), gen_setext(a, b),
                             gen_strcat3(a, "/", b)})
            FreeHook(answer);
        gen_hasext(a, b), gen_strequal(a, b), gen_strprefix(a, b);
    }
    V_reset_for_tests();
}

void fuzz_prepare() {
    gen_getcwd(), gen_gethomedir(), gen_getuserdir();  // cached for the process: filled before tracking
    for (const char* name : {"NVPATH", "NVSRPATH", "ZEP_VP_OFF", "ZEP_VP_XSW", "ZEP_VP_DEBUG"}) unsetenv(name);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    g_control = data[0];
    g_fields.assign(1, "");
    for (size_t i = 1; i < size; ++i)
        if (data[i] == 0) g_fields.emplace_back();
        else g_fields.back().push_back(static_cast<char>(data[i]));
    if (g_fields.size() > 16) return 0;
    std::snprintf(g_nvpath, sizeof g_nvpath, "%s=%s", (g_control & 0x40) ? "NVSRPATH" : "NVPATH", g_fields[0].c_str());
    unsetenv("NVPATH"), unsetenv("NVSRPATH");
    putenv(g_nvpath);
    (g_control & 0x80) ? putenv(g_debug) : unsetenv("ZEP_VP_DEBUG");
    if (fuzz::run(run) != -1) V_reset_for_tests();
    return 0;
}

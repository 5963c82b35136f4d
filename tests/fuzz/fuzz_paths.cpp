// View-path set-up from the environment and the path routines, on arbitrary
// bytes.
//
// Input: one control byte, then fields separated by NUL bytes.  The first
// field is the value of NVPATH (or NVSRPATH, by a control bit), the others
// are paths handed to every path routine, alone and in pairs.  Lookups run
// only in the read-only modes: an update lookup copies files between the
// trees, and the trees here are whatever the input names.
//
// Checked beyond "no crash, no leak": gen_path_normalise never lengthens
// its text and a second pass changes nothing, V_compath never lengthens
// its text (beyond "." for an empty one), and every routine that answers a new text answers a terminated
// one that the tracker saw allocated (released here).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "shared/gensys.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/genstr.h"
#include "shared/viewpath/viewpath.h"

namespace {

// The environment entries point into these buffers, which are rewritten in
// place: setenv would keep a copy of every value for the life of the process.
char g_nvpath[4096 + 16];
char g_debug[] = "ZEP_VP_DEBUG=1";

struct Input {
    uint8_t control;
    std::vector<std::string> fields;
};
const Input* g_in;

void release(char* text) { FreeHook(text); }

// gen_path_normalise works in place on a block of the text's size.
void check_normalise(const std::string& path, char sep) {
    char* copy = gen_strdup(path.c_str());
    size_t before = std::strlen(copy);
    gen_path_normalise(copy, sep);
    if (std::strlen(copy) > before) fuzz_finding("gen_path_normalise lengthened", path);
    const std::string once = copy;
    gen_path_normalise(copy, sep);
    if (once != copy) fuzz_finding("gen_path_normalise is not idempotent", path);
    release(copy);
}

void one_path(const std::string& p, int lookup) {
    const char* s = p.c_str();
    char sep = (g_in->control & 8) ? '\\' : '/';
    check_normalise(p, sep);

    // V_compath needs room for "." when the text is empty.
    char* compath = static_cast<char*>(AllocHook(p.size() + 2, 1));
    std::memcpy(compath, s, p.size() + 1);
    V_compath(compath);
    if (std::strlen(compath) > (p.size() > 0 ? p.size() : 1)) fuzz_finding("V_compath lengthened", p);
    release(compath);

    release(V_relpath(s));
    release(V_resolve(s, lookup));
    gen_vp_access(s, (g_in->control >> 4) & 5);  // existence, execute and read tests only
    release(gen_dirname(s));
    gen_basename(s);
    gen_getext(s);
    gen_hasext(s, nullptr);
    release(gen_setext(s, nullptr));
    release(gen_abspath(s));
    release(gen_fullpath(s));
    release(gen_normalise_dirpath(s));
    gen_isabsolute(s);
    gen_isbarename(s);
    gen_isdir(s);
    gen_strtou32(s, nullptr, (g_in->control & 1) ? 16 : 10);
}

void two_paths(const std::string& a, const std::string& b) {
    char sep = (g_in->control & 8) ? '\\' : '/';
    release(gen_pathjoin(a.c_str(), b.c_str(), sep));
    release(gen_pathjoin_or_copy(a.c_str(), b.c_str(), sep));
    release(V_relative_to(a.c_str(), b.c_str()));
    release(gen_setext(a.c_str(), b.c_str()));
    gen_hasext(a.c_str(), b.c_str());
    gen_strequal(a.c_str(), b.c_str());
    gen_strprefix(a.c_str(), b.c_str());
    release(gen_strcat3(a.c_str(), "/", b.c_str()));
}

void run() {
    V_reset_for_tests();
    gen_viewpathing(g_in->control & 3);
    V_get_vpath();
    const int lookup = (g_in->control & 4) ? V_LOOKUP_NONE : V_LOOKUP_READ;
    const auto& f = g_in->fields;
    for (size_t i = 1; i < f.size(); ++i) one_path(f[i], lookup);
    for (size_t i = 1; i + 1 < f.size(); ++i) two_paths(f[i], f[i + 1]);
    if (f.size() > 1) two_paths(f[0], f[1]);
    V_reset_for_tests();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    // Cached once per process by the runtime: filled before any tracking.
    gen_getcwd();
    gen_gethomedir();
    gen_getuserdir();
    unsetenv("NVPATH");
    unsetenv("NVSRPATH");
    unsetenv("ZEP_VP_OFF");
    unsetenv("ZEP_VP_XSW");
    unsetenv("ZEP_VP_DEBUG");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    Input in;
    in.control = data[0];
    std::string field;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            in.fields.push_back(field);
            field.clear();
        } else {
            field.push_back(static_cast<char>(data[i]));
        }
    }
    in.fields.push_back(field);
    if (in.fields.size() > 16) return 0;
    g_in = &in;

    const char* variable = (in.control & 0x40) ? "NVSRPATH=" : "NVPATH=";
    std::snprintf(g_nvpath, sizeof g_nvpath, "%s%s", variable, in.fields[0].c_str());
    unsetenv("NVPATH");
    unsetenv("NVSRPATH");
    putenv(g_nvpath);
    if (in.control & 0x80)
        putenv(g_debug);
    else
        unsetenv("ZEP_VP_DEBUG");

    fuzz_track_begin();
    int status = trap_status(run);
    if (status != -1) V_reset_for_tests();
    size_t left = fuzz_track_end();
    if (status == -1 && left != 0) fuzz_finding("leak", std::to_string(left) + " blocks left");
    return 0;
}

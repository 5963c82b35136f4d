// The switch registry's file reader: GSwitch_ReadFile on a switch file
// holding the fuzz input, then the registration of three switches that the
// file may name, which applies and drops the matching settings, and the
// warning about the names left over.
//
// The registry is reset for every input; its records are restored from
// their compiled-in form.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "fuzz_support.h"
#include "shared/gswitch/gen_switch.h"
#include "shared/gswitch/gen_switch_testing.h"

namespace {

const GSwitch kPristine[] = {
    gswitch_record("alpha", 0, __FILE__, __LINE__),
    gswitch_record("Beta_Switch", 1, __FILE__, __LINE__),
    gswitch_record("x", 0, __FILE__, __LINE__),
};
GSwitch g_switches[3];
std::string g_program;
std::string g_switch_file;

void run() {
    GSwitch_ReadFile();
    for (GSwitch& s : g_switches) GSwitch_Register(&s);
    // What GSwitch_Initialize does next: the names nobody registered are
    // warned about and dropped (the argument vector holds only the program).
    int32_t argc = 1;
    char* argv[2] = {const_cast<char*>(g_program.c_str()), nullptr};
    GSwitch_Initialize(&argc, argv);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    char dir[] = "/tmp/symkeep-fuzz-gsw-XXXXXX";
    if (mkdtemp(dir) == nullptr) fuzz_finding("harness", "mkdtemp failed");
    g_program = std::string(dir) + "/prog";
    g_switch_file = g_program + ".gsw";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(g_switch_file.c_str(), "wb");
    if (f == nullptr) fuzz_finding("harness", "cannot write the switch file");
    if (size != 0 && std::fwrite(data, 1, size, f) != size) fuzz_finding("harness", "short write");
    std::fclose(f);

    fuzz_track_begin();
    gswitch_reset_for_tests();
    gswitch_set_module_file_name_for_tests(g_program.c_str());
    for (int i = 0; i < 3; ++i) g_switches[i] = kPristine[i];
    int status = trap_status(run);
    gswitch_reset_for_tests();
    size_t left = fuzz_track_end();
    if (status != -1) fuzz_finding("GSwitch_ReadFile", "ended the program with status " + std::to_string(status));
    if (left != 0) fuzz_finding("leak", std::to_string(left) + " blocks left");
    return 0;
}

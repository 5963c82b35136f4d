// The switch registry's file reader: GSwitch_ReadFile on a switch file holding the input, then what
// GSwitch_Initialize does next: three switches the file may name register (their settings apply and drop) and the
// names left over are warned about.  No input may end the program.
#include "fuzz_support.h"
#include "shared/gswitch/gen_switch.h"
#include "shared/gswitch/gen_switch_testing.h"

static TempDir g_dir;
static const std::string g_program = g_dir.file("prog");  // the switch file is PROGRAM.gsw

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_file(g_program + ".gsw", std::string(reinterpret_cast<const char*>(data), size));
    gswitch_reset_for_tests();
    gswitch_set_module_file_name_for_tests(g_program.c_str());
    GSwitch switches[] = {gswitch_record("alpha", 0, __FILE__, __LINE__), gswitch_record("Beta_Switch", 1, __FILE__, __LINE__),
                          gswitch_record("x", 0, __FILE__, __LINE__)};
    fuzz::run([&switches] {
        GSwitch_ReadFile();
        for (GSwitch& s : switches) GSwitch_Register(&s);
        int32_t argc = 1;  // the argument vector holds only the program
        char* argv[2] = {const_cast<char*>(g_program.c_str()), nullptr};
        GSwitch_Initialize(&argc, argv);
        gswitch_reset_for_tests();
    }, false);
    return 0;
}

// The switches compiled into symkeep, in registration order.
//
// They are defined here, as one array, rather than beside the code they
// govern: the compiler keeps an array's elements in order at every
// optimisation level, so the section walk registers them in exactly this
// order.  The file and line of each record name the definition it stands
// for.  This file is linked into the executable itself, not archived, so
// that the linker never leaves the records out.
#include "shared/gswitch/gen_switch.h"

GSWITCH_TABLE GSwitch symkeep_switches[] = {
    gswitch_record("SupportHexFloatFormat", 1, "src/shared/sprintf/mt_vsprintf.cpp", 70),
    gswitch_record("MakeArgvEscapedOnlyInQuotes", 1, "src/shared/libcxxutil/ut_system.cpp", 1559),
    gswitch_record("ZoltaLogArgsOnStartup", 1, "src/shared/indgeninit.cpp", 215),
    gswitch_record("HostProcessorsEnvVariable", 1, "src/shared/indgensys.cpp", 5154),
    gswitch_record("SampleGSwitch", 0, "src/shared/gen_switch.cpp", 981),
};

// Crash reports.
//
// INTERIM: no dump directory exists yet, so an abort dump has nothing to
// write; it records the reason in the event log so the request is visible.
#include "shared/eventlog/rnedump.h"

#include "shared/eventlog/zolta.h"

void RNEDump_DoOnAbortDump(char** place, const char* reason) {
    if (place != nullptr) *place = nullptr;
    ZOLTA_LogText("rnedump", "RNEDump_DoOnAbortDump: about to call ZOLTA_DumpAllRNEFiles");
    if (reason != nullptr) ZOLTA_LogText("rnedump", reason);
}

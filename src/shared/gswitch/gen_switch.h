// Switch registry: named boolean switches defined at build time.
//
// Each switch is a 64-byte GSwitch record placed by the linker in the data
// section "gswitch"; at start-up the registry walks that section from the
// linker's __start_gswitch to __stop_gswitch symbols and registers every
// record in address order.  A user overrides the compiled-in defaults, in
// increasing precedence, through the variable "ZEP_GSW_<name>", the switch
// file beside the executable ("<program>.gsw") and the -ZEPX/-ZEPZ/-ZEPArgX/
// -ZEPArgZ arguments.  Every effective change is logged as a "GSWITCH" text
// event in the thread's event log, naming the new value and its source.
//
// Ordering: the linker concatenates the section's input pieces in link
// order, but the compiler is free to emit separate variables of one
// translation unit in any order (GCC at -O2 reverses them).  A program
// therefore defines its switches as ONE array per translation unit
// (GSWITCH_TABLE below), which fixes their order whatever the optimisation
// level.  The records are marked used (and retained where the toolchain
// knows the attribute), and the start/stop symbols keep the section alive
// under --gc-sections.
//
// The registry takes no locks: it runs during start-up, on the main thread,
// before any other thread exists.
#pragma once

#include <cstddef>
#include <cstdint>

// Where a value came from; the display texts come from GSwitch_SourceName.
enum GSwitchSource : uint32_t {
    GSW_SOURCE_COMPILED_IN = 0,
    GSW_SOURCE_ENVIRONMENT = 1,
    GSW_SOURCE_FILE = 2,
    GSW_SOURCE_COMMAND_LINE = 3,
    GSW_SOURCE_COMMAND_LINE_ARG = 4,
    GSW_SOURCE_RUNTIME = 5,
};

// One switch.  The layout is fixed, because the records are laid out by the
// linker in 64-byte slots and found by walking the section; it is also what
// a debugger or a crash-report reader sees.
struct GSwitch {
    const char* name;           //  0: NUL-terminated switch name
    uint8_t value;              //  8: 1 on, 0 off; the default until registered
    uint8_t pad0[7];            //  9
    GSwitch* real_switch_ptr;   // 16: record holding the live value; null until registered
    uint8_t used;               // 24: value has been read
    uint8_t registered;         // 25: registration has run for this record
    uint8_t used_before_init;   // 26: read before the registry was complete
    uint8_t pad1;               // 27
    uint32_t source;            // 28: GSwitchSource of the last change; 0 when compiled in
    const char* file;           // 32: source file that defines the switch
    int32_t line;               // 40: line of the definition
    uint8_t reserved[20];       // 44: zero
};
static_assert(sizeof(void*) == 8, "switch records hold 64-bit pointers");
static_assert(sizeof(GSwitch) == 64, "a switch record fills one 64-byte slot");
static_assert(offsetof(GSwitch, name) == 0, "name at 0");
static_assert(offsetof(GSwitch, value) == 8, "value at 8");
static_assert(offsetof(GSwitch, real_switch_ptr) == 16, "real_switch_ptr at 16");
static_assert(offsetof(GSwitch, used) == 24, "used at 24");
static_assert(offsetof(GSwitch, registered) == 25, "registered at 25");
static_assert(offsetof(GSwitch, used_before_init) == 26, "used_before_init at 26");
static_assert(offsetof(GSwitch, source) == 28, "source at 28");
static_assert(offsetof(GSwitch, file) == 32, "file at 32");
static_assert(offsetof(GSwitch, line) == 40, "line at 40");
static_assert(offsetof(GSwitch, reserved) == 44, "reserved bytes at 44");

// A compiled-in record: default value, defining file and line, all else zero.
constexpr GSwitch gswitch_record(const char* name, uint8_t value, const char* file, int32_t line) {
    return GSwitch{name, value, {}, nullptr, 0, 0, 0, 0, GSW_SOURCE_COMPILED_IN, file, line, {}};
}

// `retain` is an ELF section flag; PE object files have no such flag and
// the compiler rejects the attribute there.
#if defined(__has_attribute) && defined(__ELF__)
#if __has_attribute(retain)
#define GSWITCH_RETAIN __attribute__((retain))
#endif
#endif
#ifndef GSWITCH_RETAIN
#define GSWITCH_RETAIN
#endif

// Places a definition in the switch section.  Use it on one array per
// translation unit:  GSWITCH_TABLE GSwitch my_switches[] = {gswitch_record(...), ...};
#define GSWITCH_TABLE __attribute__((section("gswitch"), used, aligned(8))) GSWITCH_RETAIN

// Number of bucket heads of the registry's index (a prime).
constexpr uint32_t GSWITCH_TABLE_SIZE = 8419;

// One entry of a bucket chain of the index.
struct GSwitchTableEntry {
    uint64_t key;  // full hash of the name
    GSwitch* gsw;
    GSwitchTableEntry* next;
};

// A setting read from the switch file, waiting for its switch.
struct PendingSwitch {
    char* name;  // as written in the file
    uint8_t value;
    PendingSwitch* next;
};

// A switch argument recorded for child programs ("-ZEPArgX<name>").
struct SwitchArg {
    char* text;
    SwitchArg* next;
};

// Starts the registry once: registers the compiled-in switches, reads the
// switch file, warns about its unknown names, then applies and removes the
// switch arguments of the vector (the walk stops at "--").  The vector must
// hold a null after its last entry; it may be shortened in place.
void GSwitch_Initialize(int32_t* argc, char** argv);
// Registers every record of the switch section, in address order, once.
void GSwitch_RegisterCompiledIn();
// Registers one record, checks it against an earlier definition of its name
// (fatal on a conflict) and applies the environment and switch-file settings.
void GSwitch_Register(GSwitch* gsw);
// Sets the live value; a change is recorded with its source and logged.
void GSwitch_SetValue(GSwitch* gsw, uint8_t value, uint32_t source);
// The registered record of that name (letter case ignored), or null.
GSwitch* GSwitch_Find(const char* name);
// Adds a record to the index (the caller has made sure its name is new).
void GSwitch_Insert(GSwitch* gsw);
// Case-insensitive 64-bit hash of a name.
uint64_t GSwitch_Hash(const char* name);
// Display text of the live record's source.
const char* GSwitch_SourceName(const GSwitch* gsw);
// Reads the switch file into the pending list, once.
void GSwitch_ReadFile();
// Full path of the module that holds the registry (cached, not a copy).
const char* GSwitch_ModuleFileName();
// Records "-ZEPArgX<name>"/"-ZEPArgZ<name>" for child programs and sets
// "ZEP_GSW_<name>" so that they inherit the value.
void GSwitch_RecordArgument(const char* name, uint8_t value);

// Read-only views of the registry's lists (for start-up code and tests).
const PendingSwitch* GSwitch_PendingList();
const SwitchArg* GSwitch_ArgumentList();
bool GSwitch_InitComplete();

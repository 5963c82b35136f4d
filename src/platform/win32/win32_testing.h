// Test seams of the Win32 backend.
#pragma once

// Slots made from now on use thread-local storage and the backend's own
// destructor calls, as on a system without the fiber-local routines.
void plat_win32_force_thread_local_slots(bool on);

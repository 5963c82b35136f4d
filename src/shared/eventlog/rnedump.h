// Crash reports (RNE dumps).
#pragma once

// Writes the abort dump of the calling thread.  `place`, when given,
// receives the directory used.
void RNEDump_DoOnAbortDump(char** place, const char* reason);

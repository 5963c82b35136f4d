// run_in_child: code run in a child process (fork; on Windows a re-run of
// the test program), for the tests not yet written on support/harness.h.
#pragma once

#include <functional>

#include "support/harness.h"

// Forks; the child runs `body` then exits 0 (flushing stdio).
Outcome run_in_child(const std::function<void()>& body);

// Start-up and shut-down in their order; returns the exit code.
#pragma once

#include "hosts/host_list.h"

namespace quilvane {

int runProgram(int argc, char** argv);

// The same over a host list of the caller's (tests start each program run with an empty one).
int runProgram(int argc, char** argv, HostList& hosts);

}  // namespace quilvane

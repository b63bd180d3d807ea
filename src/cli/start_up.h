// Start-up and shut-down in their order; returns the exit code.
#pragma once

namespace quilvane {

int runProgram(int argc, char** argv);

}  // namespace quilvane

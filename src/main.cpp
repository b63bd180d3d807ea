// Entry point: start-up, one run, shut-down.
#include "cli/start_up.h"

int main(int argc, char** argv) {
    return quilvane::runProgram(argc, argv);
}

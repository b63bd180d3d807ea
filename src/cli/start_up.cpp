// Start-up and shut-down: seed, parse, banner, console control, reconciliation, one run, close.
#include "cli/start_up.h"

#include "cli/command_line.h"
#include "cli/driver.h"
#include "cli/run_state.h"
#include "support/console_control.h"
#include "support/output_sink.h"
#include "support/platform.h"
#include "support/random.h"

namespace quilvane {

int runProgram(int argc, char** argv) {
    RunState run;
    PingSettings settings;
    RunOptions options;
    seedRandom(platform().tickCount());
    // The socket layer needs no start-up here, so it always succeeds.

    // Without an argument this prints the usage and ends the process.
    parseCommandLine(argc, argv, settings, options, run);

    if (settings.limitOutput == 0) {
        printBanner();
        if (options.argumentWarning != 0) printMessage("\n");
    }
    installConsoleControlHandler();
    applyReconciliation(settings, options);

    performRun(settings, options, run);

    closeLogFile();
    return run.lastStatus;
}

}  // namespace quilvane

// Start-up and shut-down: seed, parse, banner, console control, reconciliation, one run, close.
#include "cli/start_up.h"

#include "cli/command_line.h"
#include "cli/driver.h"
#include "cli/ping_settings.h"
#include "support/console_control.h"
#include "support/output_sink.h"
#include "support/platform.h"
#include "support/random.h"
#include "support/standard_streams.h"

namespace quilvane {

int runProgram(int argc, char** argv) {
    openClosedStandardStreams();
    return runProgram(argc, argv, hostList());
}

int runProgram(int argc, char** argv, HostList& hosts) {
    PingSettings settings;
    RunOptions options;
    seedRandom(platform().tickCount());
    // The socket layer needs no start-up here, so it always succeeds.
    lastStatus = 0;

    // Without an argument this prints the usage and ends the process.
    parseCommandLine(argc, argv, settings, options, hosts);

    if (settings.limitOutput == 0) {
        printBanner();
        if (options.argumentWarning != 0) printMessage("\n");
    }
    installConsoleControlHandler();
    applyReconciliation(settings, options);

    performRun(settings, options, hosts);

    closeLogFile();
    pingData.clear();
    return lastStatus;
}

}  // namespace quilvane

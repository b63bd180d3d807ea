// Start-up and shut-down: seed, parse, banner, console control, reconciliation, one run, close.
#include "cli/start_up.h"

#include <cstring>
#include <string>

#include "cli/command_line.h"
#include "cli/driver.h"
#include "cli/result_outputs.h"
#include "cli/run_state.h"
#include "support/console_control.h"
#include "support/output_sink.h"
#include "support/platform.h"
#include "support/random.h"
#include "support/standard_streams.h"

namespace quilvane {

namespace {

// Another program's way of asking for help; here a lone -h is taken as a host name.
bool looksLikeAHelpRequest(int argc, char** argv) {
    return argc == 2 && std::strcmp(argv[1], "-h") == 0;
}

}  // namespace

int runProgram(int argc, char** argv) {
    // Before anything opens a file: a closed descriptor 0 to 2 would be taken by the next one.
    openClosedStandardStreams();
    RunState run;
    PingSettings settings;
    RunOptions options;
    seedRandom(platform().tickCount());
    // Without the socket layer nothing can be resolved or pinged: the process ends at once.
    if (!platform().startSockets()) exitProcess(-1);

    divertEarlyForResultOutputs(argc, argv);
    // Without an argument this prints the usage and ends the process.
    parseCommandLine(argc, argv, settings, options, run);
    ResultOutputs outputs;
    outputs.configure(settings, options, run);

    if (settings.limitOutput == 0) {
        printBanner();
        if (options.argumentWarning != 0) printMessage("\n");
    }
    installConsoleControlHandler();
    applyReconciliation(settings, options);

    performRun(settings, options, run);
    outputs.finish(run);
    // A pointer to the usage text for a user who did not find it; standard error only, so the
    // output and the log stay as they are.
    if (run.hosts.empty() || looksLikeAHelpRequest(argc, argv)) {
        std::string hint = "Type " + programName(argv[0]) + " -? for the usage text.\n";
        printToStandardError(hint.c_str());
    }

    closeLogFile();
    platform().stopSockets();
    return run.lastStatus;
}

}  // namespace quilvane

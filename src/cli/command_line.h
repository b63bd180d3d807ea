// The command line: settings, options, hosts, log file, banner and usage.
#pragma once

#include <cstdint>
#include <string>

#include "cli/run_state.h"
#include "settings/ping_settings.h"
#include "support/ip_address.h"

namespace quilvane {

// What the command line yields for the driver alone.
struct RunOptions {
    int32_t useIcmpLibrary = 0;
    int32_t sweepEnabled = 0;
    int32_t sweepFirst = 0;
    int32_t sweepLast = 0;
    int32_t randomEnabled = 0;
    int32_t randomMin = 0;
    int32_t randomMax = 0;
    int32_t countGiven = 0;
    int32_t argumentWarning = 0;
    // -p: echo requests in flight at once in runs over many hosts (1 to 4096).
    int32_t inFlight = 1;
    // -4, -6: the one family host names resolve to (the last of the two given counts).
    FamilyChoice family = FamilyChoice::Any;
    // --rate: the most requests a second in a windowed run (1 to 10,000,000); 0 sets no cap.
    int32_t rate = 0;
    // --retries: how often a request of a run over many hosts is sent again before it times out.
    int32_t retries = 0;
    // --summary: one result line per host after the run's statistics.
    bool summary = false;
    // --alive: standard output holds only the addresses that answered.
    bool alive = false;
    // --json: standard output holds only JSON Lines events.
    bool json = false;
    // --metrics: the OpenMetrics file rewritten after every pass; empty for none.
    std::string metricsPath;
};

// Scans argv once (argc >= 2 for options); prints usage and ends the process for -?, /? or a
// lone argument of that kind (exit code 255). --help anywhere prints the usage text to standard
// output and --version the version line, each ending the process with 0.
void parseCommandLine(int argc, char** argv, PingSettings& settings, RunOptions& options,
                      RunState& run);

[[noreturn]] void printUsage(const char* name);
std::string programName(const char* argv0);
void printBanner();

// -i against -r, then -R against -S.
void applyReconciliation(PingSettings& settings, RunOptions& options);

// What the scan found that the caller must act on: -?, /? or no argument; --help; --version.
enum class ScanOutcome { Done, UsageRequested, HelpRequested, VersionRequested };

using LogOpener = void (*)(const char* path);

// The scan itself, without ending the process: parseCommandLine prints usage when it returns
// UsageRequested. openLog is called for every -L with a value (the fuzz target passes a no-op so
// that no file is ever created).
ScanOutcome scanCommandLine(int argc, char** argv, PingSettings& settings, RunOptions& options,
                            RunState& run, LogOpener openLog);

// Reads a decimal number as strtol does in base 10, saturating at the 32-bit limits.
int32_t readNumber(const char* text);

// The banner and the usage lines, without ending the process.
void writeUsage(const char* name);
// The usage lines for the program called name, as -? and --help print them.
std::string usageText(const char* name);

}  // namespace quilvane

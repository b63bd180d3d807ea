// The command line: settings, options, hosts, log file, banner and usage.
#pragma once

#include <string>

#include "cli/ping_settings.h"
#include "hosts/host_list.h"

namespace quilvane {

// Scans argv once (argc >= 2 for options); prints usage and ends the process for -?, /? or a
// lone argument of that kind.
void parseCommandLine(int argc, char** argv, PingSettings& settings, RunOptions& options,
                      HostList& hosts);

[[noreturn]] void printUsage(const char* name);
std::string programName(const char* argv0);
void printBanner();

// -i against -r, then -R against -S.
void applyReconciliation(PingSettings& settings, RunOptions& options);

}  // namespace quilvane

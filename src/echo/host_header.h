// The host header line both engines print before the first request of a single-host run.
#pragma once

#include <string>

#include "settings/ping_settings.h"
#include "support/platform.h"

namespace quilvane {

// Prints nothing in a driver round or with -l. A host typed as a name shows the official name
// of its forward lookup; a dotted host shows the reverse name only while names are wanted and the
// reverse lookup of address finds one.
void printEngineHostHeader(const std::string& host, const std::string& officialName,
                           const IpAddress& address, const PingSettings& settings, bool inRound);

}  // namespace quilvane

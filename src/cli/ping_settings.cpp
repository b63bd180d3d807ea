// The run-wide values shared by the runs and both engines.
#include "cli/ping_settings.h"

namespace quilvane {

int32_t lastStatus = 0;
std::string pingData;

}  // namespace quilvane

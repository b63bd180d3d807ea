// Standard input, output and error as descriptors 0 to 2, whatever the process was started with.
#pragma once

namespace quilvane {

// Opens /dev/null on each of descriptors 0 to 2 that is closed. Must come before anything else
// opens a file: a closed descriptor 1 would be taken by the next file or socket opened, and
// everything printed would go there.
void openClosedStandardStreams();

}  // namespace quilvane

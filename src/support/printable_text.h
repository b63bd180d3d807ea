// Outside texts (host names, file names, system texts) made safe to show on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace quilvane {

// The text with each byte below 0x20 other than tab, and 0x7F, replaced by '?': such bytes would
// move the cursor or start terminal escape sequences. No valid host name holds one, so names that
// can be pinged come out unchanged; bytes from 0x80 up pass as they are (UTF-8 file names).
std::string printableText(std::string_view text);

}  // namespace quilvane

// Outside texts (host names, file names, system texts) made safe to show on a terminal.
#include "support/printable_text.h"

namespace quilvane {

std::string printableText(std::string_view text) {
    std::string shown(text);
    for (char& byte : shown) {
        auto value = static_cast<unsigned char>(byte);
        if ((value < 0x20 && value != '\t') || value == 0x7F) byte = '?';
    }
    return shown;
}

}  // namespace quilvane

// Error numbers with the system's own texts, as FormatMessageA gives them.
#include <windows.h>
#include <winsock2.h>

#include "support/printable_text.h"
#include "support/windows/windows_platform.h"

namespace quilvane {

SystemError windowsError(int number) {
    char buffer[512];
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(number), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                       buffer, sizeof buffer, nullptr);
    // Some numbers have no text (Wine lacks several); the line then stays empty.
    if (length == 0) return {number, {}};
    // The texts end in "\r\n", which the console stream writes as a line end of its own.
    std::string text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    text = printableText(text);
    text += '\n';
    return {number, text};
}

}  // namespace quilvane

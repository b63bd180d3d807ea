// Console control through SetConsoleCtrlHandler: Control-C stops the run, Control-Break breaks.
#include "support/console_control.h"

#include <windows.h>
#include <winsock2.h>

namespace quilvane {

namespace {

BOOL WINAPI onControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            stopRequested.store(true);
            interruptCount.fetch_add(1);
            return TRUE;
        case CTRL_BREAK_EVENT:
            breakRequested.store(true);
            return TRUE;
        default:
            // Closing the console, logging off, shutting down: the system's default ends the
            // process.
            return FALSE;
    }
}

}  // namespace

void installConsoleControlHandler() {
    SetConsoleCtrlHandler(onControl, TRUE);
}

}  // namespace quilvane

// Linux error numbers in the Windows Sockets numbering the program reports, and their texts.
#pragma once

#include <string>

#include "support/platform.h"

namespace quilvane::linux_detail {

// The Windows Sockets number for errno where one exists (EPERM and EACCES give 10013, EAGAIN
// and ETIMEDOUT 10060...); any other errno passes through unchanged.
int socketErrorFromErrno(int errnoValue);

// The resolver's getaddrinfo/getnameinfo codes as 11001 (host not found), 11002 (try again),
// 11003 (no recovery) or 11004 (no data).
int resolverErrorFromGai(int gaiCode);

// The system's English text for errno, never localised, followed by a line end.
std::string errnoText(int errnoValue);

// The resolver's text for a getaddrinfo/getnameinfo code, followed by a line end.
std::string resolverText(int gaiCode, int errnoValue);

// A failed system call's errno, or a failed resolver call's code, as the platform reports it.
SystemError systemError(int errnoValue);
SystemError resolverError(int gaiCode, int errnoValue);

}  // namespace quilvane::linux_detail

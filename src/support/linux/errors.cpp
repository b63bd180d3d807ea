// Linux error numbers in the Windows Sockets numbering the program reports, and their texts.
#include "support/linux/errors.h"

#include <netdb.h>
#include <string.h>

#include <cerrno>

#include "support/printable_text.h"

namespace quilvane::linux_detail {

namespace {

// errno values with a Windows Sockets equivalent.
struct ErrnoMapping {
    int errnoValue;
    int socketError;
};
constexpr ErrnoMapping errnoMappings[] = {
    {EINTR, 10004},
    {EBADF, 10009},
    {EPERM, 10013},
    {EACCES, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    // A receive time-out (SO_RCVTIMEO) shows as EAGAIN here.
    {EAGAIN, 10060},
    {ETIMEDOUT, 10060},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {ENOBUFS, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ECONNREFUSED, 10061},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
    {EUSERS, 10068},
    {EDQUOT, 10069},
    {ESTALE, 10070},
    {EREMOTE, 10071},
};

}  // namespace

int socketErrorFromErrno(int errnoValue) {
    for (const ErrnoMapping& mapping : errnoMappings) {
        if (mapping.errnoValue == errnoValue) return mapping.socketError;
    }
    return errnoValue;
}

int resolverErrorFromGai(int gaiCode) {
    switch (gaiCode) {
        case EAI_NONAME:
            return 11001;
        case EAI_AGAIN:
            return 11002;
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return 11004;
        default:
            return 11003;
    }
}

std::string errnoText(int errnoValue) {
    // strerrordesc_np gives the untranslated text whatever the locale, and is thread-safe.
    const char* description = strerrordesc_np(errnoValue);
    std::string text = description != nullptr ? printableText(description)
                                              : "Unknown error " + std::to_string(errnoValue);
    text += '\n';
    return text;
}

std::string resolverText(int gaiCode, int errnoValue) {
    if (gaiCode == EAI_SYSTEM) return errnoText(errnoValue);
    std::string text = printableText(gai_strerror(gaiCode));
    text += '\n';
    return text;
}

SystemError systemError(int errnoValue) {
    return {socketErrorFromErrno(errnoValue), errnoText(errnoValue)};
}

SystemError resolverError(int gaiCode, int errnoValue) {
    return {resolverErrorFromGai(gaiCode), resolverText(gaiCode, errnoValue)};
}

}  // namespace quilvane::linux_detail

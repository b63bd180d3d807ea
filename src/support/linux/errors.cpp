// Linux error numbers in the Windows Sockets numbering the program reports, and their texts.
#include "support/linux/errors.h"

#include <netdb.h>
#include <string.h>

#include <cerrno>

#include "support/printable_text.h"

namespace quilvane::linux_detail {

int socketErrorFromErrno(int errnoValue) {
    switch (errnoValue) {
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EPERM:
        case EACCES:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
            return 10024;
        // A receive time-out (SO_RCVTIMEO) shows as EAGAIN here.
        case EAGAIN:
        case ETIMEDOUT:
            return 10060;
        case EINPROGRESS:
            return 10036;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case ESOCKTNOSUPPORT:
            return 10044;
        case EOPNOTSUPP:
            return 10045;
        case EPFNOSUPPORT:
            return 10046;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
            return 10054;
        case ENOBUFS:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case ESHUTDOWN:
            return 10058;
        case ETOOMANYREFS:
            return 10059;
        case ECONNREFUSED:
            return 10061;
        case ELOOP:
            return 10062;
        case ENAMETOOLONG:
            return 10063;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        case ENOTEMPTY:
            return 10066;
        case EUSERS:
            return 10068;
        case EDQUOT:
            return 10069;
        case ESTALE:
            return 10070;
        case EREMOTE:
            return 10071;
        default:
            return errnoValue;
    }
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

}  // namespace quilvane::linux_detail

// The command line: the one scan over the arguments, the banner and the usage text.
#include "cli/command_line.h"

#include <cstring>
#include <optional>

#include "support/console_control.h"
#include "support/output_sink.h"
#include "support/platform.h"
#include "support/printable_text.h"

namespace quilvane {

namespace {

constexpr uint32_t warningBeepHz = 880;
constexpr uint32_t warningBeepMs = 100;
constexpr size_t longestProgramName = 259;
constexpr const char* fallbackProgramName = "quilvane";

constexpr const char* versionLine = "Quilvane version 2.18";
constexpr const char* creditLine = "Written by the Quilvane developers";

constexpr const char* usageTail =
    " <host(-list)> [-s data_size] [-S size1/size2] [-c] [-t time] [-w timeout]\n"
    "       [-n count] [-h TTL] [-v TOS] [-r routes] [-R min/max] [-a] [-f] \n"
    "       [-b(-)] [-i] [-l] [-T] [-D] [-d ping_data] [-g host1/host2]\n"
    "       [-H filename] [-L filename] [-p requests] [-4] [-6]\n\n"
    "Options:\n"
    "\t-s : data_size in bytes up to 65500\n"
    "\t-S : size sweep. Ping with size1, size1 + 1, ..., size 2 datalength\n"
    "\t-c : continuous ping (higher priority than -n)\n"
    "\t     to see statistics and continue - type Control-Break;\n"
    "\t     to stop - type Control-C.\n"
    "\t-t : time between 2 pings in ms up to 1000000\n"
    "\t-w : timeout in ms to wait for each reply\n"
    "\t-n : number of echo requests to send\n"
    "\t-h : number of hops (TTL: 1 to 128)\n"
    "\t-v : Type Of Service (0 to 255)\n"
    "\t-r : record route (1 to 9 routes)\n"
    "\t-R : random length between min and max (disabled when using -S)\n"
    "\t-a : resolve addresses to hostnames\n"
    "\t-f : set Don't Fragment flag in packet\n"
    "\t-b : beep on every successful reply (- to beep on timeout)\n"
    "\t-i : use ICMP dll instead of raw socket (disables -r)\n"
    "\t-l : limit the output to ping results and errors\n"
    "\t-T : print timestamp with each reply\n"
    "\t-D : print datestamp and timestamp with each reply\n"
    "\t-d : ping with specified data (disabled when using -R)\n"
    "\t-g : ping IP range from host1 to host2\n"
    "\t-H : get hosts from filename (comma delimited, filename with full path)\n"
    "\t-L : logging to a text file\n"
    "\t-p : echo requests in flight at once over many hosts (1 to 4096)\n"
    "\t-4 : resolve host names to IPv4 addresses only\n"
    "\t-6 : resolve host names to IPv6 addresses only\n"
    "\t--rate N : at most N echo requests a second with -p (1 to 10000000)\n"
    "\t--retries K : send a silent host's request again up to K times (0 to 10)\n"
    "\t--summary : one result line per host after the statistics\n"
    "\t--alive : print only the addresses that answered\n"
    "\t--json : print results as JSON Lines\n"
    "\t--metrics filename : write OpenMetrics results after every pass\n"
    "\t--help : print this usage text to standard output and exit\n"
    "\t--version : print the version and exit\n";

bool isOptionText(const char* argument) {
    return argument[0] == '-' || argument[0] == '/';
}

bool isLongOption(const char* argument) {
    return argument[0] == '-' && argument[1] == '-' && argument[2] != '\0';
}

// A number brought into [lowest, highest].
int32_t clamped(int32_t value, int32_t lowest, int32_t highest) {
    return value < lowest ? lowest : (value > highest ? highest : value);
}

bool isUsageRequest(const char* argument) {
    return isOptionText(argument) && argument[1] == '?' && argument[2] == '\0';
}

// --help and --version count wherever they stand, as in most programs: the first one wins.
std::optional<ScanOutcome> helpOrVersion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) return ScanOutcome::HelpRequested;
        if (std::strcmp(argv[i], "--version") == 0) return ScanOutcome::VersionRequested;
    }
    return std::nullopt;
}

void warningBeep() {
    platform().beep(warningBeepHz, warningBeepMs);
}

// -s, and both bounds of -S and -R.
int32_t clampDataSize(int32_t value) {
    if (value < 0) return 32;
    if (value < 4) return 4;
    if (value > 65500) return 65500;
    return value;
}

void reportInvalidPrefix(const char* text) {
    printMessage("Invalid prefix: %s\n", printableText(text).c_str());
    warningBeep();
}

// A host argument, or the addresses of the prefix it writes; false after an invalid prefix.
bool appendHostArgument(HostList& hosts, const char* argument) {
    switch (addPrefix(hosts, argument)) {
        case PrefixResult::Added:
            return true;
        case PrefixResult::Invalid:
            reportInvalidPrefix(argument);
            return false;
        case PrefixResult::NotPrefix:
            break;
    }
    hosts.append(argument);
    return true;
}

struct SizeRange {
    bool enabled = false;
    int32_t first = 0;
    int32_t last = 0;
};

// One left-to-right pass over the arguments; an option may take at most the one that follows.
class CommandLineScan {
  public:
    CommandLineScan(int argc, char** argv, PingSettings& settings, RunOptions& options,
                    RunState& run, LogOpener openLog)
        : argc_(argc),
          argv_(argv),
          settings_(settings),
          options_(options),
          run_(run),
          hosts_(run.hosts),
          openLog_(openLog) {}

    ScanOutcome run() {
        for (index_ = 1; index_ < argc_; ++index_) {
            const char* argument = argv_[index_];
            if (!isOptionText(argument)) {
                plainArgument(argument);
                continue;
            }
            optionSeen_ = true;
            if (option(argument) == ScanOutcome::UsageRequested) {
                return ScanOutcome::UsageRequested;
            }
        }
        return ScanOutcome::Done;
    }

  private:
    // The argument after the current one, or null when the current one stands last.
    const char* following() const { return index_ + 1 < argc_ ? argv_[index_ + 1] : nullptr; }
    void consumeFollowing() { ++index_; }

    void plainArgument(const char* argument) {
        if (!optionSeen_) {
            if (!appendHostArgument(hosts_, argument)) options_.argumentWarning = 1;
            return;
        }
        printMessage("Host %s ignored\n", printableText(argument).c_str());
        warningBeep();
        options_.argumentWarning = 1;
    }

    // The attached number, or when that reads as 0 the number in the next argument.
    int32_t numberValue(const char* attached) {
        int32_t value = readNumber(attached);
        if (value == 0 && following() != nullptr) {
            value = readNumber(following());
            consumeFollowing();
        }
        return value;
    }

    // The attached text, else the next argument; null when there is neither.
    const char* textValue(const char* attached) {
        if (attached[0] != '\0') return attached;
        const char* value = following();
        if (value != nullptr) consumeFollowing();
        return value;
    }

    SizeRange rangeValue(const char* attached) {
        const char* text = attached;
        int32_t first = readNumber(attached);
        if (first == 0 && following() != nullptr) {
            text = following();
            first = readNumber(text);
            consumeFollowing();
        }
        SizeRange range;
        range.first = clampDataSize(first);
        const char* slash = std::strrchr(text, '/');
        if (slash == nullptr) return range;
        range.last = clampDataSize(readNumber(slash + 1));
        range.enabled = range.first < range.last;
        return range;
    }

    // -S and -R alike, each on its own fields: a mode that stays off leaves the first bound as the
    // fixed size.
    void sizeRange(const char* attached, int32_t& enabled, int32_t& first, int32_t& last) {
        SizeRange range = rangeValue(attached);
        enabled = range.enabled ? 1 : 0;
        if (!range.enabled) {
            settings_.dataSize = range.first;
            return;
        }
        first = range.first;
        last = range.last;
    }

    void pingDataText(const char* attached) {
        const char* next = following();
        if (attached[0] == '\0' && (next == nullptr || next[0] == '\0')) return;
        run_.pingData = textValue(attached);
    }

    void hostFile(const char* attached) {
        hosts_.hostFileGiven = true;
        if (const char* path = textValue(attached)) readHostFile(hosts_, path);
    }

    void addressRange(const char* attached) {
        const char* value = attached[0] != '\0' ? attached : following();
        RangeOption range = addAddressRangeOption(hosts_, attached, following());
        if (range.consumed) consumeFollowing();
        if (range.invalidPrefix) {
            reportInvalidPrefix(value);
            options_.argumentWarning = 1;
        }
    }

    void logFile(const char* attached) {
        if (const char* path = textValue(attached)) openLog_(path);
    }

    void invalidOption(const char* argument) {
        printMessage("Invalid Option: %s\n", printableText(argument).c_str());
        warningBeep();
        options_.argumentWarning = 1;
        // What follows an unknown option is taken as its value unless it looks like an option
        // or a host; a host is then met by the scan and refused as standing after an option.
        const char* next = following();
        if (next == nullptr || isOptionText(next)) return;
        if (platform().getHostByName(next, FamilyChoice::Any).ok()) return;
        consumeFollowing();
    }

    // The options, each with the handler of its value; several letters stand in either case.
    using Handler = void (CommandLineScan::*)(const char* attached);
    struct OptionEntry {
        char letter;
        Handler handler;
    };

    // Long options, --NAME VALUE or --NAME=VALUE; a flag takes no value.
    using LongHandler = void (CommandLineScan::*)(const char* value);
    struct LongOptionEntry {
        const char* name;
        bool takesValue;
        LongHandler handler;
    };

    // False when the word names no long option (or gives a flag a value).
    bool longOption(const char* argument) {
        static constexpr LongOptionEntry longOptionTable[] = {
            {"rate", true, &CommandLineScan::rate},
            {"retries", true, &CommandLineScan::retries},
            {"summary", false, &CommandLineScan::summary},
            {"alive", false, &CommandLineScan::alive},
            {"json", false, &CommandLineScan::json},
            {"metrics", true, &CommandLineScan::metrics},
        };
        const char* name = argument + 2;
        const char* equals = std::strchr(name, '=');
        size_t nameLength =
            equals != nullptr ? static_cast<size_t>(equals - name) : std::strlen(name);
        for (const LongOptionEntry& entry : longOptionTable) {
            if (std::strlen(entry.name) != nameLength ||
                std::strncmp(entry.name, name, nameLength) != 0) {
                continue;
            }
            if (!entry.takesValue) {
                if (equals != nullptr) return false;
                (this->*entry.handler)(nullptr);
                return true;
            }
            const char* value = equals != nullptr ? equals + 1 : following();
            if (equals == nullptr && value != nullptr) consumeFollowing();
            (this->*entry.handler)(value);
            return true;
        }
        return false;
    }

    ScanOutcome option(const char* argument) {
        if (isLongOption(argument)) {
            if (!longOption(argument)) invalidOption(argument);
            return ScanOutcome::Done;
        }
        const OptionEntry optionTable[] = {
            {'a', &CommandLineScan::resolveNames},  {'A', &CommandLineScan::resolveNames},
            {'b', &CommandLineScan::beepMode},      {'B', &CommandLineScan::beepMode},
            {'c', &CommandLineScan::continuous},    {'C', &CommandLineScan::continuous},
            {'D', &CommandLineScan::dateStamp},     {'d', &CommandLineScan::pingDataText},
            {'f', &CommandLineScan::dontFragment},  {'F', &CommandLineScan::dontFragment},
            {'g', &CommandLineScan::addressRange},  {'H', &CommandLineScan::hostFile},
            {'h', &CommandLineScan::ttl},           {'i', &CommandLineScan::icmpLibrary},
            {'I', &CommandLineScan::icmpLibrary},   {'L', &CommandLineScan::logFile},
            {'l', &CommandLineScan::limitOutput},   {'n', &CommandLineScan::count},
            {'N', &CommandLineScan::count},         {'R', &CommandLineScan::randomSizes},
            {'r', &CommandLineScan::recordRoutes},  {'S', &CommandLineScan::sweep},
            {'s', &CommandLineScan::dataSize},      {'T', &CommandLineScan::timeStamp},
            {'t', &CommandLineScan::interval},      {'v', &CommandLineScan::typeOfService},
            {'V', &CommandLineScan::typeOfService}, {'w', &CommandLineScan::timeout},
            {'W', &CommandLineScan::timeout},       {'p', &CommandLineScan::inFlight},
            {'4', &CommandLineScan::ipv4Only},      {'6', &CommandLineScan::ipv6Only},
        };
        char letter = argument[1];
        if (letter == '?') return ScanOutcome::UsageRequested;
        for (const OptionEntry& entry : optionTable) {
            if (entry.letter == letter) {
                (this->*entry.handler)(argument + 2);
                return ScanOutcome::Done;
            }
        }
        invalidOption(argument);
        return ScanOutcome::Done;
    }

    void resolveNames(const char*) { settings_.resolveNames = 1; }
    void beepMode(const char* attached) { settings_.beepMode = attached[0] == '-' ? 2 : 1; }
    void continuous(const char*) {
        settings_.continuous = 1;
        options_.countGiven = 1;
    }
    void dateStamp(const char*) { settings_.dateStamp = 1; }
    void dontFragment(const char*) { settings_.dontFragment = 1; }
    void ttl(const char* attached) {
        int32_t value = numberValue(attached);
        settings_.ttl = value <= 0 ? 1 : (value > 128 ? 128 : value);
    }
    void icmpLibrary(const char*) { options_.useIcmpLibrary = 1; }
    void limitOutput(const char*) { settings_.limitOutput = 1; }
    void count(const char* attached) {
        int32_t value = numberValue(attached);
        settings_.count = value == 0 ? 1 : value;
        options_.countGiven = 1;
    }
    void randomSizes(const char* attached) {
        sizeRange(attached, options_.randomEnabled, options_.randomMin, options_.randomMax);
    }
    void recordRoutes(const char* attached) {
        int32_t value = numberValue(attached);
        settings_.recordRoutes = value < 0 ? 0 : (value > 9 ? 9 : value);
    }
    void sweep(const char* attached) {
        sizeRange(attached, options_.sweepEnabled, options_.sweepFirst, options_.sweepLast);
    }
    void dataSize(const char* attached) {
        settings_.dataSize = clampDataSize(numberValue(attached));
    }
    void timeStamp(const char*) { settings_.timeStamp = 1; }
    void interval(const char* attached) {
        int32_t value = numberValue(attached);
        if (value < 0) {
            value = 1000;
        } else if (value == 0) {
            value = 1;
        } else if (value > 1000000) {
            value = 1000000;
        }
        settings_.intervalMs = value;
    }
    void typeOfService(const char* attached) {
        int32_t value = numberValue(attached);
        settings_.tos = (value < 0 || value > 255) ? 0 : value;
        settings_.tosGiven = 1;
    }
    void inFlight(const char* attached) {
        int32_t value = numberValue(attached);
        options_.inFlight = value < 1 ? 1 : (value > 4096 ? 4096 : value);
    }
    void ipv4Only(const char*) { options_.family = FamilyChoice::Ipv4Only; }
    void ipv6Only(const char*) { options_.family = FamilyChoice::Ipv6Only; }
    void rate(const char* value) {
        options_.rate = clamped(value != nullptr ? readNumber(value) : 0, 1, 10'000'000);
    }
    void retries(const char* value) {
        options_.retries = clamped(value != nullptr ? readNumber(value) : 0, 0, 10);
    }
    void summary(const char*) { options_.summary = true; }
    void alive(const char*) { options_.alive = true; }
    void json(const char*) { options_.json = true; }
    void metrics(const char* value) {
        if (value != nullptr && value[0] != '\0') options_.metricsPath = value;
    }
    void timeout(const char* attached) {
        int32_t value = numberValue(attached);
        settings_.timeoutMs = value == 0 ? 1 : value;
    }

    int argc_;
    char** argv_;
    PingSettings& settings_;
    RunOptions& options_;
    RunState& run_;
    HostList& hosts_;
    LogOpener openLog_;
    int index_ = 1;
    bool optionSeen_ = false;
};

}  // namespace

int32_t readNumber(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    constexpr int64_t magnitudeLimit = int64_t{1} << 31;
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > magnitudeLimit) magnitude = magnitudeLimit;
    }
    if (negative) return static_cast<int32_t>(-magnitude);
    return static_cast<int32_t>(magnitude >= magnitudeLimit ? magnitudeLimit - 1 : magnitude);
}

ScanOutcome scanCommandLine(int argc, char** argv, PingSettings& settings, RunOptions& options,
                            RunState& run, LogOpener openLog) {
    if (argc < 2) return ScanOutcome::UsageRequested;
    if (std::optional<ScanOutcome> request = helpOrVersion(argc, argv)) return *request;
    if (argc == 2) {
        // A lone argument is the host (or the prefix it writes), whatever it looks like, unless
        // it asks for usage.
        if (isUsageRequest(argv[1])) return ScanOutcome::UsageRequested;
        if (!appendHostArgument(run.hosts, argv[1])) options.argumentWarning = 1;
        return ScanOutcome::Done;
    }
    return CommandLineScan(argc, argv, settings, options, run, openLog).run();
}

void parseCommandLine(int argc, char** argv, PingSettings& settings, RunOptions& options,
                      RunState& run) {
    std::string name = programName(argc > 0 ? argv[0] : nullptr);
    switch (scanCommandLine(argc, argv, settings, options, run, openLogFile)) {
        case ScanOutcome::UsageRequested:
            printUsage(name.c_str());
        case ScanOutcome::HelpRequested:
            printMessage("%s", usageText(name.c_str()).c_str());
            exitProcess(0);
        case ScanOutcome::VersionRequested:
            printMessage("%s\n", versionLine);
            exitProcess(0);
        case ScanOutcome::Done:
            break;
    }
}

std::string programName(const char* argv0) {
    if (argv0 == nullptr) return fallbackProgramName;
    const char* name = argv0;
    for (const char* p = argv0; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    if (*name == '\0') return fallbackProgramName;
    // The usage line shows at most 259 characters of a longer name.
    size_t length = 0;
    while (length < longestProgramName && name[length] != '\0') ++length;
    return std::string(name, length);
}

void printBanner() {
    printMessage("\n%s\n%s\n\n", versionLine, creditLine);
}

std::string usageText(const char* name) {
    return std::string("Usage:\n") + name + usageTail;
}

void writeUsage(const char* name) {
    printBanner();
    printToStandardError(usageText(name).c_str());
}

void printUsage(const char* name) {
    writeUsage(name);
    exitProcess(exitCode(ExitStatus::UsagePrinted));
}

void applyReconciliation(PingSettings& settings, RunOptions& options) {
    if (options.useIcmpLibrary != 0 && settings.recordRoutes > 0) {
        settings.recordRoutes = 0;
        printMessage("Route options disabled by ICMP dll\n");
    }
    if (options.randomEnabled != 0 && options.sweepEnabled != 0) {
        options.randomEnabled = 0;
        printMessage("Random length ping disabled, using size sweep\n");
    }
}

}  // namespace quilvane

// Fuzzes the command-line scan over argument vectors (NUL-separated), checking what every setting
// obeys afterwards; the fake platform keeps lookups, beeps and host files in memory.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/run_state.h"
#include "fakes/fake_platform.h"
#include "hosts/host_list.h"

namespace {

constexpr size_t mostArguments = 256;

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool isFlag(int32_t value) {
    return value == 0 || value == 1;
}

// No log file is ever created, whatever path the input names.
void ignoreLog(const char*) {}

// Every argument in a buffer of its own, sized to the byte, so a read past one is seen.
class Arguments {
  public:
    Arguments(const uint8_t* data, size_t size) {
        add("quilvane", 8);
        size_t start = 0;
        for (size_t i = 0; i <= size && storage_.size() < mostArguments; ++i) {
            if (i == size || data[i] == 0) {
                add(reinterpret_cast<const char*>(data) + start, i - start);
                start = i + 1;
            }
        }
        pointers_ = std::make_unique<char*[]>(storage_.size());
        for (size_t i = 0; i < storage_.size(); ++i) pointers_[i] = storage_[i].get();
    }
    int argc() const { return static_cast<int>(storage_.size()); }
    char** argv() { return pointers_.get(); }

  private:
    void add(const char* text, size_t length) {
        auto copy = std::make_unique<char[]>(length + 1);
        if (length != 0) std::memcpy(copy.get(), text, length);
        copy[length] = '\0';
        storage_.push_back(std::move(copy));
    }
    std::vector<std::unique_ptr<char[]>> storage_;
    std::unique_ptr<char*[]> pointers_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quilvane;
    testing::ScopedFakePlatform scoped;
    scoped.fake.files["hosts.txt"] = "10.0.0.1,10.0.0.2\r\nalpha,beta\r\n";
    scoped.fake.files["one.txt"] = "10.0.0.9\r\n";
    scoped.fake.names["server"] = HostEntry{"server.lab", 0x0100000A};

    Arguments arguments(data, size);
    PingSettings settings;
    RunOptions options;
    RunState run;
    const HostList& hosts = run.hosts;
    ScanOutcome outcome =
        scanCommandLine(arguments.argc(), arguments.argv(), settings, options, run, ignoreLog);
    if (outcome != ScanOutcome::Done) return 0;  // -?, --help, --version: nothing more is read
    applyReconciliation(settings, options);

    require(settings.dataSize >= 4 && settings.dataSize <= 65500);
    require(settings.intervalMs >= 1 && settings.intervalMs <= 1000000);
    require(settings.timeoutMs != 0);
    require(settings.ttl >= 1 && settings.ttl <= 128);
    require(settings.tos >= 0 && settings.tos <= 255);
    require(settings.recordRoutes >= 0 && settings.recordRoutes <= 9);
    require(settings.beepMode >= 0 && settings.beepMode <= 2);
    require(settings.count != 0);
    require(settings.replyNumber == 0);
    for (int32_t flag : {settings.continuous, settings.tosGiven, settings.resolveNames,
                         settings.dontFragment, settings.limitOutput, settings.timeStamp,
                         settings.dateStamp, options.useIcmpLibrary, options.sweepEnabled,
                         options.randomEnabled, options.countGiven, options.argumentWarning}) {
        require(isFlag(flag));
    }
    if (options.sweepEnabled != 0) {
        require(options.sweepFirst >= 4 && options.sweepFirst < options.sweepLast);
        require(options.sweepLast <= 65500);
    }
    if (options.randomEnabled != 0) {
        require(options.randomMin >= 4 && options.randomMin < options.randomMax);
        require(options.randomMax <= 65500);
        require(options.sweepEnabled == 0);
    }
    if (options.useIcmpLibrary != 0) require(settings.recordRoutes == 0);
    if (arguments.argc() == 2) {
        // A lone argument is the host; one with a slash may be a prefix (its addresses, or none
        // with the invalid prefix's warning).
        if (std::strchr(arguments.argv()[1], '/') == nullptr) {
            require(hosts.size() == 1 && options.argumentWarning == 0);
        } else {
            require(options.argumentWarning == 0 || hosts.empty());
        }
    }
    // Every warning beeps once, and only warnings beep.
    require((options.argumentWarning != 0) == !scoped.fake.callsStartingWith("beep").empty());
    if (!hosts.empty()) hosts.entry(hosts.size() - 1);
    return 0;
}

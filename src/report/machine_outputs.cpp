// The outputs for scripts and tools: JSON Lines, the per-host table, the answering addresses.
#include "report/machine_outputs.h"

#include <cstdio>
#include <utility>

#include "support/inet.h"
#include "support/output_sink.h"
#include "support/platform.h"

namespace quilvane {

namespace {

constexpr uint8_t endOfOptions = 0;
constexpr uint8_t noOperation = 1;
constexpr uint8_t recordRoute = 7;
constexpr size_t firstSlot = 3;  // type, length, pointer
constexpr size_t slotSize = 4;
constexpr size_t microsecondsStart = 20;
constexpr size_t microsecondsEnd = 26;

void appendTimes(std::string& out, const HostSummary::Times& t) {
    const std::pair<const char*, double> fields[] = {
        {"{\"min\":", t.minimum}, {",\"avg\":", t.average},
        {",\"max\":", t.maximum}, {",\"mdev\":", t.meanDeviation},
        {",\"p50\":", t.p50},     {",\"p90\":", t.p90},
        {",\"p99\":", t.p99}};
    for (const auto& [key, ms] : fields) {
        out += key;
        appendJsonDecimal(out, ms * 1000);
    }
    out += '}';
}

// The name -a shows for an address, if it has one.
std::optional<std::string> nameOf(const std::string& address, FamilyChoice family) {
    if (address.empty()) return std::nullopt;
    SystemResult<HostEntry> host = platform().getHostByName(address, family);
    if (!host.ok()) return std::nullopt;
    return platform().getHostByAddr(host.value.address);
}

const char* lossText(uint32_t percent, char* out, size_t size) {
    std::snprintf(out, size, "%u%%", percent);
    return out;
}

}  // namespace

std::vector<std::string> recordedHops(const uint8_t* options, size_t length) {
    std::vector<std::string> hops;
    size_t at = 0;
    while (at < length && options[at] != endOfOptions) {
        if (options[at] == noOperation) {
            ++at;
            continue;
        }
        if (length - at < 2 || options[at + 1] < 2 || options[at + 1] > length - at) break;
        size_t optionLength = options[at + 1];
        if (options[at] == recordRoute && optionLength > firstSlot) {
            // The pointer (counted from 1) names the first free slot: the slots before it hold
            // hops.
            size_t filledEnd = std::min<size_t>(options[at + 2] - 1u, optionLength);
            for (size_t slot = firstSlot; slot + slotSize <= filledEnd; slot += slotSize) {
                const uint8_t* b = options + at + slot;
                char text[16];
                std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
                hops.emplace_back(text);
            }
        }
        at += optionLength;
    }
    return hops;
}

std::string JsonRenderer::time(int64_t epochNs) {
    int64_t second = epochNs / 1'000'000'000;
    if (second != offsetSecond_) {
        offset_ = platform().utcOffsetSeconds(second);
        offsetSecond_ = second;
        stamp_ = rfc3339(second * 1'000'000'000, offset_);
    }
    // Within one second only the microseconds change ("YYYY-MM-DDThh:mm:ss.uuuuuu+hh:mm").
    std::string text = stamp_;
    int64_t micros = (epochNs - second * 1'000'000'000) / 1000;
    for (size_t at = microsecondsEnd; at-- > microsecondsStart;) {
        text[at] = static_cast<char>('0' + micros % 10);
        micros /= 10;
    }
    return text;
}

JsonLine JsonRenderer::echoLine(const char* type, const EchoEvent& echo) {
    JsonLine line(type);
    line.text("time", time(echo.wallClockNs))
        .text("host", echo.context->host)
        .text("address", echo.address)
        .number("seq", echo.request)
        .number("size", static_cast<uint64_t>(echo.settings->dataSize));
    return line;
}

void JsonRenderer::reply(const ReplyEvent& event) {
    JsonLine line = echoLine("reply", event.echo);
    line.number("number", event.number)
        .number("ttl", event.ttl)
        .number("tos", event.tos)
        .decimal("rtt_us", static_cast<double>(event.ms * 1000.0L));
    writeResult(line.finish());
}

void JsonRenderer::timeout(const TimeoutEvent& event) {
    JsonLine line = echoLine(event.code ? "coded_timeout" : "timeout", event.echo);
    if (event.code) line.number("code", static_cast<uint64_t>(*event.code));
    writeResult(line.finish());
}

void JsonRenderer::dontFragment(const DontFragmentEvent& event) {
    writeResult(echoLine("dont_fragment", event.echo).finish());
}

void JsonRenderer::route(const RouteEvent& event) {
    std::string hops = "[";
    for (const std::string& hop : recordedHops(event.options, event.length)) {
        if (hops.size() > 1) hops += ',';
        hops += jsonString(hop);
    }
    hops += ']';
    writeResult(echoLine("route", event.echo).raw("hops", hops).finish());
}

void JsonRenderer::errorLine(const ErrorLineEvent& event) {
    JsonLine line("error");
    line.text("time", time(event.wallClockNs))
        .text("host", event.context->host)
        .number("seq", event.context->request)
        .text("text", event.text);
    writeResult(line.finish());
}

void JsonRenderer::summary(size_t, const std::string& host, const HostSummary& summary) {
    JsonLine line("summary");
    std::string address = entryAddress(host, hosts_.family);
    line.text("host", host).text("address", address);
    if (hosts_.resolveNames) {
        if (std::optional<std::string> name = nameOf(address, hosts_.family)) {
            line.text("name", *name);
        }
    }
    line.number("sent", summary.sent)
        .number("received", summary.received)
        .number("resent", summary.resent)
        .number("loss_percent", summary.lossPercent);
    if (summary.times) {
        std::string times;
        appendTimes(times, *summary.times);
        line.raw("rtt_us", times);
    } else {
        line.raw("rtt_us", "null");
    }
    writeResult(line.finish());
}

// A host pinged once is summed up as soon as its engine is done, among its own lines; a
// dispatch that never reached an engine (a host not found) when it is over.
void JsonRenderer::hostFinished(const HostFinishedEvent& event) {
    if (!hosts_.tally->everyHostOnce()) return;
    summary(event.context->index, event.context->host, summaryOf(event.statistics));
    summarised_.insert(event.context->index);
}

void JsonRenderer::dispatchFinished(const DispatchFinishedEvent& event) {
    if (!hosts_.tally->everyHostOnce()) return;
    if (summarised_.erase(event.context->index) != 0) return;
    summary(event.context->index, event.context->host, summaryOf(event.statistics));
}

void JsonRenderer::runFinished(const RunFinishedEvent& event) {
    const ResultTally& tally = *hosts_.tally;
    for (size_t index = 0; index < tally.size(); ++index) {
        summary(index, hosts_.entry(index), summaryOf(tally.at(index)));
    }
    JsonLine line("total");
    const PingStatistics& total = event.total;
    line.text("time", time(platform().realTimeNs()))
        .number("sent", total.sent)
        .number("received", total.received)
        .number("resent", total.resent)
        .number("loss_percent", lossPercent(total.sent, total.received));
    if (total.samples != 0 || total.received != 0) {
        line.raw("rtt_us", "{\"min\":" + jsonDecimal(total.minimum * 1000) +
                               ",\"avg\":" + jsonDecimal(total.average * 1000) +
                               ",\"max\":" + jsonDecimal(total.maximum * 1000) + "}");
    } else {
        line.raw("rtt_us", "null");
    }
    writeResult(line.finish());
}

std::string SummaryTable::row(const std::string& entry, const HostSummary& summary) const {
    std::string address = entryAddress(entry, hosts_.family);
    char loss[16];
    char text[256];
    int length = std::snprintf(text, sizeof text, "%-15s %8u %8u %5s",
                               (address.empty() ? entry : address).c_str(), summary.sent,
                               summary.received, lossText(summary.lossPercent, loss, sizeof loss));
    std::string out(text, static_cast<size_t>(length));
    if (summary.times) {
        const HostSummary::Times& t = *summary.times;
        for (double value :
             {t.minimum, t.average, t.maximum, t.meanDeviation, t.p50, t.p90, t.p99}) {
            std::snprintf(text, sizeof text, " %9.3f", value);
            out += text;
        }
    } else {
        for (int column = 0; column < 7; ++column) out += "         -";
    }
    if (hosts_.resolveNames) {
        std::optional<std::string> name = nameOf(address, hosts_.family);
        out += "  ";
        out += name ? *name : "-";
    }
    out += '\n';
    return out;
}

void SummaryTable::dispatchFinished(const DispatchFinishedEvent& event) {
    if (!hosts_.tally->everyHostOnce()) return;
    rows_.append(row(event.context->host, summaryOf(event.statistics)));
}

void SummaryTable::runFinished(const RunFinishedEvent&) {
    char heading[256];
    std::snprintf(heading, sizeof heading, "\n%-15s %8s %8s %5s %9s %9s %9s %9s %9s %9s %9s%s\n",
                  "Address", "Sent", "Received", "Loss", "Minimum", "Average", "Maximum",
                  "Mean dev", "P50", "P90", "P99", hosts_.resolveNames ? "  Name" : "");
    writeResult(heading);
    const ResultTally& tally = *hosts_.tally;
    for (size_t index = 0; index < tally.size(); ++index) {
        writeResult(row(hosts_.entry(index), summaryOf(tally.at(index))));
    }
    rows_.drain([](std::string_view text) { writeResult(text); });
}

void AliveList::answered(const std::string& entry) {
    anyAnswered_ = true;
    std::string address = entryAddress(entry, hosts_.family);
    writeResult((address.empty() ? entry : address) + "\n");
}

void AliveList::dispatchFinished(const DispatchFinishedEvent& event) {
    if (!hosts_.tally->everyHostOnce()) return;
    if (event.statistics && event.statistics->received != 0) answered(event.context->host);
}

void AliveList::runFinished(const RunFinishedEvent&) {
    const ResultTally& tally = *hosts_.tally;
    for (size_t index = 0; index < tally.size(); ++index) {
        if (tally.at(index).received != 0) answered(hosts_.entry(index));
    }
}

}  // namespace quilvane

// --metrics: the run's results as metrics text, rewritten whole after every pass.
#include "report/metrics_file.h"

#include <cstdio>
#include <utility>

#include "report/json_line.h"
#include "support/replacing_file.h"

namespace quilvane {

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

}  // namespace

std::string metricsLabelValue(std::string_view value) {
    // jsonString already tells valid UTF-8 apart; its escapes are turned into the format's.
    std::string out;
    for (unsigned char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            out += '?';
        } else {
            out += static_cast<char>(c);
        }
    }
    std::string checked = jsonString(out);
    if (checked.find("\\ufffd") == std::string::npos) return out;
    std::string safe;
    for (unsigned char c : out) safe += c < 0x80 ? static_cast<char>(c) : '?';
    return safe;
}

MetricsFile::MetricsFile(RunHosts hosts, std::string path)
    : hosts_(std::move(hosts)), path_(std::move(path)), metrics_(hosts_.tally->size()) {}

void MetricsFile::reply(const ReplyEvent& event) {
    size_t index = event.echo.context->index;
    if (index >= metrics_.size()) return;
    HostMetrics& host = metrics_[index];
    double seconds = static_cast<double>(event.ms) / 1000.0;
    size_t bucket = 0;
    while (bucket < metricsBucketBounds.size() && seconds > metricsBucketBounds[bucket]) ++bucket;
    ++host.buckets[bucket];
    host.lastRttMs = static_cast<float>(event.ms);
}

void MetricsFile::dispatchFinished(const DispatchFinishedEvent& event) {
    size_t index = event.context->index;
    if (index >= metrics_.size()) return;
    metrics_[index].up = event.statistics && event.statistics->received != 0;
}

void MetricsFile::passFinished(const PassFinishedEvent& event) {
    passes_ = event.pass;
    write();
}

void MetricsFile::runFinished(const RunFinishedEvent&) {
    write();
}

template <typename Emit>
void MetricsFile::emit(Emit out) const {
    const ResultTally& tally = *hosts_.tally;
    std::vector<std::string> labels(tally.size());
    for (size_t i = 0; i < tally.size(); ++i) {
        std::string entry = hosts_.entry(i);
        labels[i] = "host=\"" + metricsLabelValue(entry) + "\",address=\"" +
                    metricsLabelValue(entryAddress(entry, hosts_.family)) + "\"";
    }
    auto family = [&](const char* name, const char* type, const char* help) {
        out(std::string("# TYPE ") + name + " " + type + "\n# HELP " + name + " " + help + "\n");
    };
    auto perHost = [&](const char* name, auto value) {
        for (size_t i = 0; i < tally.size(); ++i) {
            out(std::string(name) + "{" + labels[i] + "} " + value(i) + "\n");
        }
    };
    uint64_t sent = 0;
    uint64_t received = 0;
    for (size_t i = 0; i < tally.size(); ++i) {
        sent += tally.at(i).sent;
        received += tally.at(i).received;
    }

    family("quilvane_requests_total", "counter", "Echo requests sent to the host.");
    perHost("quilvane_requests_total", [&](size_t i) { return std::to_string(tally.at(i).sent); });
    family("quilvane_replies_total", "counter", "Echo replies received from the host.");
    perHost("quilvane_replies_total",
            [&](size_t i) { return std::to_string(tally.at(i).received); });
    family("quilvane_rtt_seconds", "histogram", "Round-trip times of the host's replies.");
    for (size_t i = 0; i < tally.size(); ++i) {
        uint64_t cumulative = 0;
        for (size_t b = 0; b <= metricsBucketBounds.size(); ++b) {
            cumulative += metrics_[i].buckets[b];
            std::string bound = b < metricsBucketBounds.size() ? number(metricsBucketBounds[b])
                                                               : std::string("+Inf");
            out("quilvane_rtt_seconds_bucket{" + labels[i] + ",le=\"" + bound + "\"} " +
                std::to_string(cumulative) + "\n");
        }
        out("quilvane_rtt_seconds_count{" + labels[i] + "} " + std::to_string(cumulative) + "\n");
        out("quilvane_rtt_seconds_sum{" + labels[i] + "} " + number(tally.at(i).sumMs / 1000.0) +
            "\n");
    }
    family("quilvane_last_rtt_seconds", "gauge", "The round trip of the host's latest reply.");
    perHost("quilvane_last_rtt_seconds", [&](size_t i) {
        float ms = metrics_[i].lastRttMs;
        return ms < 0 ? std::string("NaN") : number(ms / 1000.0);
    });
    family("quilvane_up", "gauge", "1 when the host's latest request was answered.");
    perHost("quilvane_up", [&](size_t i) { return std::string(metrics_[i].up ? "1" : "0"); });
    family("quilvane_run_passes_total", "counter", "Passes over the hosts finished.");
    out("quilvane_run_passes_total " + std::to_string(passes_) + "\n");
    family("quilvane_run_requests_total", "counter", "Echo requests sent in the run.");
    out("quilvane_run_requests_total " + std::to_string(sent) + "\n");
    family("quilvane_run_replies_total", "counter", "Echo replies received in the run.");
    out("quilvane_run_replies_total " + std::to_string(received) + "\n");
    out("# EOF\n");
}

std::string MetricsFile::text() const {
    std::string text;
    emit([&text](const std::string& part) { text += part; });
    return text;
}

void MetricsFile::write() const {
    ReplacingFile file(path_);
    emit([&file](const std::string& part) { file.write(part); });
    file.commit();
}

}  // namespace quilvane

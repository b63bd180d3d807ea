// One JSON object on one line, built field by field: strings escaped, numbers never localised.
#include "report/json_line.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <utility>

namespace quilvane {

namespace {

// The length of the valid UTF-8 sequence at the start of text, or 0.
size_t utf8Length(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    size_t length = lead < 0x80                   ? 1
                    : lead >= 0xC2 && lead < 0xE0 ? 2
                    : lead >= 0xE0 && lead < 0xF0 ? 3
                    : lead >= 0xF0 && lead < 0xF5 ? 4
                                                  : 0;
    if (length == 0 || length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
    }
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if (length == 3 && lead == 0xE0 && byte(1) < 0xA0) return 0;
    if (length == 3 && lead == 0xED && byte(1) >= 0xA0) return 0;
    if (length == 4 && lead == 0xF0 && byte(1) < 0x90) return 0;
    if (length == 4 && lead == 0xF4 && byte(1) >= 0x90) return 0;
    return length;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(int64_t days, int& year, unsigned& month, unsigned& day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    unsigned shifted = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    month = shifted < 10 ? shifted + 3 : shifted - 9;
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

void appendJsonString(std::string& out, std::string_view value) {
    out += '"';
    // Addresses and most names need no escape at all.
    bool plain = true;
    for (char c : value) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
            plain = false;
            break;
        }
    }
    if (plain) {
        out.append(value);
        out += '"';
        return;
    }
    while (!value.empty()) {
        auto c = static_cast<unsigned char>(value[0]);
        size_t length = utf8Length(value);
        if (length == 0) {
            out += "\\ufffd";
            value.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.append(value.substr(0, length));
        }
        value.remove_prefix(length);
    }
    out += '"';
}

std::string jsonString(std::string_view value) {
    std::string out;
    appendJsonString(out, value);
    return out;
}

void appendJsonDecimal(std::string& out, double value) {
    // Three places by integer arithmetic: this runs for every reply of a sweep.
    if (!(value >= 0) || value >= 1e15) {
        char text[64];
        std::snprintf(text, sizeof text, "%.3f", value);
        out += text;
        return;
    }
    auto thousandths = static_cast<uint64_t>(std::llround(value * 1000));
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, thousandths / 1000);
    (void)error;
    out.append(text, end);
    uint64_t fraction = thousandths % 1000;
    out += '.';
    out += static_cast<char>('0' + fraction / 100);
    out += static_cast<char>('0' + fraction / 10 % 10);
    out += static_cast<char>('0' + fraction % 10);
}

std::string jsonDecimal(double value) {
    std::string out;
    appendJsonDecimal(out, value);
    return out;
}

std::string rfc3339(int64_t epochNs, int32_t offsetSeconds) {
    int64_t localNs = epochNs + int64_t{offsetSeconds} * 1'000'000'000;
    int64_t seconds =
        localNs >= 0 ? localNs / 1'000'000'000 : (localNs - 999'999'999) / 1'000'000'000;
    int64_t micros = (localNs - seconds * 1'000'000'000) / 1000;
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t ofDay = seconds - days * 86400;
    int year;
    unsigned month, day;
    civilFromDays(days, year, month, day);
    int32_t offset = offsetSeconds < 0 ? -offsetSeconds : offsetSeconds;
    char text[128];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06" PRId64 "%c%02d:%02d", year,
                  month, day, static_cast<int>(ofDay / 3600), static_cast<int>(ofDay / 60 % 60),
                  static_cast<int>(ofDay % 60), micros, offsetSeconds < 0 ? '-' : '+',
                  static_cast<int>(offset / 3600), static_cast<int>(offset / 60 % 60));
    return text;
}

JsonLine::JsonLine(std::string_view type) {
    line_.reserve(256);
    line_ = "{\"type\":";
    appendJsonString(line_, type);
}

void JsonLine::key(std::string_view name) {
    line_ += ',';
    appendJsonString(line_, name);
    line_ += ':';
}

JsonLine& JsonLine::text(std::string_view name, std::string_view value) {
    key(name);
    appendJsonString(line_, value);
    return *this;
}

JsonLine& JsonLine::number(std::string_view name, uint64_t value) {
    key(name);
    char text[24];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    (void)error;
    line_.append(text, end);
    return *this;
}

JsonLine& JsonLine::decimal(std::string_view name, double value) {
    key(name);
    appendJsonDecimal(line_, value);
    return *this;
}

JsonLine& JsonLine::raw(std::string_view name, std::string_view json) {
    key(name);
    line_ += json;
    return *this;
}

std::string JsonLine::finish() {
    line_ += "}\n";
    return std::move(line_);
}

}  // namespace quilvane

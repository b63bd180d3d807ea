// One JSON object on one line, built field by field: strings escaped, numbers never localised.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quilvane {

class JsonLine {
  public:
    explicit JsonLine(std::string_view type);

    // Any bytes: what is not valid UTF-8 shows as U+FFFD, control characters as escapes.
    JsonLine& text(std::string_view key, std::string_view value);
    JsonLine& number(std::string_view key, uint64_t value);
    // A decimal with three places (microseconds to the nanosecond, milliseconds to the us).
    JsonLine& decimal(std::string_view key, double value);
    // A value that is JSON already (an object, an array, null).
    JsonLine& raw(std::string_view key, std::string_view json);

    // The object with its line end.
    std::string finish();

  private:
    void key(std::string_view name);
    std::string line_;
};

// value as a JSON string, quotes included.
std::string jsonString(std::string_view value);
void appendJsonString(std::string& out, std::string_view value);
// A decimal with three places.
std::string jsonDecimal(double value);
void appendJsonDecimal(std::string& out, double value);

// An RFC 3339 time stamp to the microsecond with the local offset
// ("2026-12-07T10:05:03.250000+01:00").
std::string rfc3339(int64_t epochNs, int32_t offsetSeconds);

}  // namespace quilvane

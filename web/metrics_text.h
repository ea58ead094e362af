// The Prometheus text exposition format, version 0.0.4: metric families with
// their "# HELP" and "# TYPE" lines and samples with escaped label values.
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct MetricSample {
  std::vector<std::pair<std::string, std::string>> labels;  // name, value (any bytes)
  uint64_t value = 0;
};

struct MetricFamily {
  std::string name;  // [a-zA-Z_:][a-zA-Z0-9_:]*
  std::string type;  // "counter" or "gauge"
  std::string help;  // one line of text
  std::vector<MetricSample> samples;
};

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// The families as text: for each, its HELP and TYPE lines, then one line per
// sample.
std::string metricsText(const std::vector<MetricFamily>& families);

// A label value as it goes between the quotes: backslash, double quote and
// line feed escaped, and each byte that is not part of well-formed UTF-8
// replaced by U+FFFD (the format is UTF-8; a scraper refuses other bytes).
std::string labelValueText(std::string_view value);

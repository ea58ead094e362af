#include "web/metrics_text.h"

#include <gtest/gtest.h>

namespace {

TEST(LabelValueText, EscapesAndReplacesWhatIsNotUtf8) {
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {"/usr/bin/curl", "/usr/bin/curl"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"back\\slash", "back\\\\slash"},
      {"line\nend", "line\\nend"},
      {"tab\tand\rcr", "tab\tand\rcr"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\xff", "\xef\xbf\xbd"},
      {"a\xc3", "a\xef\xbf\xbd"},                            // cut short at the end
      {"\xc3(", "\xef\xbf\xbd("},                            // a lead byte without its continuation
      {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},             // overlong "/"
      {"\xe0\x80\xaf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // overlong, three bytes
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // past U+10FFFF
      {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},             // U+10FFFF itself
      {std::string("nul\0byte", 8), std::string("nul\0byte", 8)},
  };
  for (const auto& [value, want] : rows) {
    EXPECT_EQ(labelValueText(value), want) << testing::PrintToString(value);
  }
}

TEST(MetricsText, HelpTypeAndSamplesPerFamily) {
  const std::vector<MetricFamily> families = {
      {"vantrel_a_total", "counter", "Things\\counted\nsince start.", {{{}, 18446744073709551615ull}}},
      {"vantrel_b", "gauge", "By kind.", {{{{"kind", "x\"y"}, {"n", "1"}}, 0}, {{{"kind", ""}}, 7}}},
      {"vantrel_c", "gauge", "None yet.", {}},
  };
  EXPECT_EQ(metricsText(families),
            "# HELP vantrel_a_total Things\\\\counted\\nsince start.\n"
            "# TYPE vantrel_a_total counter\n"
            "vantrel_a_total 18446744073709551615\n"
            "# HELP vantrel_b By kind.\n"
            "# TYPE vantrel_b gauge\n"
            "vantrel_b{kind=\"x\\\"y\",n=\"1\"} 0\n"
            "vantrel_b{kind=\"\"} 7\n"
            "# HELP vantrel_c None yet.\n"
            "# TYPE vantrel_c gauge\n");
}

}  // namespace

#include "export/export_sender.h"

#include <gtest/gtest.h>
#include <json/json.h>

namespace {

TEST(ExportFormatSetting, NamesAbsentMemberAndBadValues) {
  struct Row {
    Json::Value value;
    ExportFormat format;
    const char* console;
  };
  const Row rows[] = {
      {Json::Value(), ExportFormat::native, ""},  // absent: files from before behave as they did
      {Json::Value("native"), ExportFormat::native, ""},
      {Json::Value("ipfix"), ExportFormat::ipfix, ""},
      {Json::Value("IPFIX"), ExportFormat::native,
       "Setting exportFormat should be \"native\" or \"ipfix\" but holds \"IPFIX\"; using \"native\"\n"},
      {Json::Value(""), ExportFormat::native,
       "Setting exportFormat should be \"native\" or \"ipfix\" but holds \"\"; using \"native\"\n"},
      {Json::Value(10), ExportFormat::native,
       "Setting exportFormat should be a string but holds 10; using \"native\"\n"},
  };
  for (const Row& row : rows) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(exportFormatSetting(row.value), row.format) << row.value;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), row.console) << row.value;
  }
}

}  // namespace

#include "web/flow_list_text.h"

#include <gtest/gtest.h>

#include <random>

#include "web/data_document.h"

namespace {

// Owner strings with what JsonCpp must escape: quotes, backslashes, line
// ends, control bytes, UTF-8 and bytes that are not UTF-8.
OwnerRef randomOwner(std::mt19937& random) {
  static const char* const kParts[] = {"curl", "\"q\"", "back\\slash", "line\nend", "\t", "\x01", "caf\xc3\xa9",
                                       "\xff\xfe", "/usr/bin/", "", "{[,]}"};
  std::string s[3];
  for (std::string& part : s) {
    for (int n = random() % 4; n > 0; --n) part += kParts[random() % (sizeof kParts / sizeof *kParts)];
  }
  return random() % 5 == 0 ? nullptr : makeOwner(s[0], s[1], s[2]);
}

std::vector<FlowEntry> randomFlows(size_t count, std::mt19937& random) {
  std::vector<FlowEntry> flows;
  for (size_t i = 0; i < count; ++i) {
    FlowEntry r = makeFlowRecord(i % 2, 1 - i % 2, random() % 3 == 0 ? 17 : 6, random(), random(),
                                  static_cast<uint16_t>(random()), static_cast<uint16_t>(random()), 60,
                                  static_cast<uint8_t>(random()), static_cast<uint8_t>(random() % 64),
                                  1700000000000ull + random(), randomOwner(random));
    r.pkts = static_cast<int32_t>(random());
    r.bytes = static_cast<int32_t>(random());
    if (random() % 3 == 0) {
      // IPv6 ends: a few zero groups (compressed text) or none (the longest text).
      r.family = 6;
      r.srcip = r.dstip = 0;
      for (uint8_t& b : r.srcip6.bytes) b = random() % 2 ? static_cast<uint8_t>(random()) : 0;
      for (uint8_t& b : r.dstip6.bytes) b = static_cast<uint8_t>(random() | 1);
      r.flowlabel = random() & 0xfffff;
    }
    flows.push_back(std::move(r));
  }
  return flows;
}

// The text read in pieces of random size.
std::string readAll(FlowListText& text, std::mt19937& random) {
  std::string out;
  char buffer[5000];
  for (size_t n; (n = readFlowListText(text, buffer, 1 + random() % sizeof buffer)) != 0;) out.append(buffer, n);
  return out;
}

TEST(FlowListText, ByteForByteWhatJsonCppWritesForTheWholeDocument) {
  std::mt19937 random(7);
  for (size_t count : {0, 1, 2, 3, 50, 2500}) {
    const std::vector<FlowEntry> flows = randomFlows(count, random);
    const uint64_t now = 1700000000000ull + random();
    Json::Value doc(Json::objectValue);
    doc["flowCache"] = Json::UInt64(count);
    doc["exportsSent"] = -3;
    doc["captureError"] = "vantrel-flow-list-mark-a";  // the writer's own stand-ins, before the list
    doc["captureState"] = "\n\t\"flows\" : ";
    doc["settings"]["listenerIP"] = "vantrel-flow-list-mark-b";
    doc["totalBytes"] = 12;
    Json::Value whole = doc;
    if (count > 0) {
      Json::Value& list = whole["flows"] = Json::Value(Json::arrayValue);
      for (const FlowEntry& r : flows) list.append(flowToJson(r, now));
    }
    const auto text = startFlowListText(doc, flows, now);
    EXPECT_EQ(readAll(*text, random), dataDocumentText(whole)) << count << " flows";
    EXPECT_EQ(readFlowListText(*text, nullptr, 0), 0u) << "stays at its end";
  }
}

TEST(FlowListText, OneLongListAtATime) {
  ASSERT_TRUE(takeLongListTurn(std::chrono::milliseconds(0)));
  EXPECT_FALSE(takeLongListTurn(std::chrono::milliseconds(20)));
  releaseLongListTurn();
  EXPECT_TRUE(takeLongListTurn(std::chrono::milliseconds(0)));
  releaseLongListTurn();
}

}  // namespace

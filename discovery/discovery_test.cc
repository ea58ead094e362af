// Discovery on made-up adapter lists: the report's exact text, the record of
// interfaces, the listener decision and the failure paths.
#include "discovery/discovery.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flow/ip_text.h"

namespace {

uint32_t ip(int a, int b, int c, int d) {
  return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) | (static_cast<uint32_t>(c) << 8) |
         static_cast<uint32_t>(d);
}

AdapterInfo adapter(uint32_t index, std::vector<uint32_t> addresses) {
  AdapterInfo a;
  a.ifIndex = index;
  a.adapterName = "if" + std::to_string(index);
  for (uint32_t address : addresses) a.unicast.push_back(AdapterUnicast{2, address});
  return a;
}

AdapterUnicast6 ip6(const char* text, uint32_t scope = 0) {
  AdapterUnicast6 u;
  parseIp6(text, u.address);
  u.scopeId = scope;
  return u;
}

AdapterList listOf(std::vector<AdapterInfo> adapters) {
  AdapterList list;
  list.adapters = std::move(adapters);
  return list;
}

// A discovery run against a settings document of the test's own.
struct DiscoveryRun {
  Json::Value settingsDoc;  // null: no listenerIP member at all
  Json::Value interfaces;
  std::string out;
  bool exitRequested = false;

  DiscoveryRun& operator()(const AdapterList& list) {
    DiscoveryIo io;
    io.write = [this](const std::string& text) { out += text; };
    io.listenerEmpty = [this] { return listenerIsEmpty(settingsDoc); };
    io.takeListener = [this](const std::string& address) {
      settingsDoc["listenerIP"] = address;
      return true;
    };
    out.clear();
    exitRequested = runDiscovery([&list] { return list; }, interfaces, io);
    return *this;
  }
};

Json::Value listenerDoc(const Json::Value& value) {
  Json::Value doc(Json::objectValue);
  doc["listenerIP"] = value;
  return doc;
}

TEST(Discovery, ReportOfOneAdapterIsExact) {
  AdapterInfo a;
  a.length = 448;
  a.ifIndex = 7;
  a.adapterName = "{4A1B}";
  a.unicast = {{2, ip(10, 0, 0, 1)}, {23, 0}, {2, ip(192, 168, 1, 1)}};
  a.unicast6 = {ip6("fe80::21a:2bff:fe3c:4d5e", 7), ip6("2001:DB8:0:0:1::1")};
  a.anycastCount = 0;
  a.multicastCount = 3;
  a.dnsServerCount = 2;
  a.prefixCount = 5;
  a.dnsSuffix = "lan";
  a.description = "Gigabit Ethernet \xc3\xa9";
  a.friendlyName = "Ethernet";
  a.physicalAddress = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  a.flags = 0x80000000u;
  a.mtu = 1500;
  a.ifType = 6;
  a.operStatus = 1;
  a.ipv6IfIndex = 7;
  a.zoneIndices[1] = 7;
  a.zoneIndices[15] = 0xabc;
  a.transmitLinkSpeed = 10000000000ULL;
  a.receiveLinkSpeed = 4294967296ULL;

  DiscoveryRun run;
  run.settingsDoc = listenerDoc("");
  run(listOf({a}));
  EXPECT_FALSE(run.exitRequested);
  EXPECT_EQ(run.out,
            "Calling GetAdaptersAddresses function with family = AF_INET\n"
            "\tLength of the IP_ADAPTER_ADDRESS struct: 448\n"
            "\tIfIndex (IPv4 interface): 7\n"
            "\tAdapter name: {4A1B}\n"
            "\tIPV4:10.0.0.1 167772161\n"
            "\nSetting listener from discovery to \tIPV4:10.0.0.1 167772161\n"
            "\tIPV4:192.168.1.1 -1062731519\n"
            "\nNot Setting listener from discovery as its defined in the configuration file"
            "\tNumber of Unicast Addresses: 3\n"
            "\tNo Anycast Addresses\n"
            "\tNumber of Multicast Addresses: 3\n"
            "\tNumber of DNS Server Addresses: 2\n"
            "\tDNS Suffix: lan\n"
            "\tDescription: Gigabit Ethernet \xc3\xa9\n"
            "\tFriendly name: Ethernet\n"
            "\tPhysical address: 00-1A-2B-3C-4D-5E\n"
            "\tFlags: -2147483648\n"
            "\tMtu: 1500\n"
            "\tIfType: 6\n"
            "\tOperStatus: 1\n"
            "\tIpv6IfIndex (IPv6 interface): 7\n"
            "\tZoneIndices (hex): 0 7 0 0 0 0 0 0 0 0 0 0 0 0 0 abc \n"
            "\tTransmit link speed: 10000000000\n"
            "\tReceive link speed: 4294967296\n"
            "\tNumber of IP Adapter Prefix entries: 5\n"
            "\n");
  EXPECT_EQ(run.settingsDoc["listenerIP"], "10.0.0.1");
  Json::Value expected;
  expected["if_7"]["ips"][0] = "10.0.0.1";
  expected["if_7"]["ips"][2] = "192.168.1.1";  // position 1 is not IPv4
  expected["if_7"]["ips6"][0] = "fe80::21a:2bff:fe3c:4d5e";
  expected["if_7"]["ips6"][1] = "2001:db8::1:0:0:1";
  expected["if_7"]["mac"] = "0:1a:2b:3c:4d:5e";
  EXPECT_EQ(run.interfaces, expected) << run.interfaces.toStyledString();
}

TEST(Discovery, EmptyListsAndNoHardwareAddress) {
  DiscoveryRun run;
  run(listOf({adapter(3, {})}));
  EXPECT_THAT(run.out, testing::HasSubstr("\tAdapter name: if3\n\tNo Unicast Addresses\n\tNo Anycast Addresses\n"
                                          "\tNo Multicast Addresses\n\tNo DNS Server Addresses\n"));
  EXPECT_THAT(run.out, testing::HasSubstr("\tFriendly name: \n\tFlags: 0\n"));
  EXPECT_THAT(run.out, testing::HasSubstr("\tNumber of IP Adapter Prefix entries: 0\n\n"));
  EXPECT_THAT(run.out, testing::Not(testing::HasSubstr("Physical address")));
  EXPECT_FALSE(run.interfaces["if_3"].isMember("mac"));
  EXPECT_FALSE(run.interfaces["if_3"].isMember("ips"));
}

TEST(Discovery, ListenerDecision) {
  struct Case {
    const char* name;
    Json::Value settingsDoc;
    std::vector<AdapterInfo> adapters;
    Json::Value listenerAfter;  // null: no member
    std::vector<std::string> lines;  // the decision lines, in order
  };
  const std::string notTo = "\nNot Setting listener from discovery to \tIPV4:";
  const std::string setTo = "\nSetting listener from discovery to \tIPV4:";
  const std::string configured = "\nNot Setting listener from discovery as its defined in the configuration file";
  const Case cases[] = {
      {"127.0.0.1 is not eligible", listenerDoc(""), {adapter(1, {ip(127, 0, 0, 1)})}, "",
       {notTo + "127.0.0.1 2130706433\n"}},
      {"0.0.0.0 is not eligible", listenerDoc(""), {adapter(1, {0})}, "", {notTo + "0.0.0.0 0\n"}},
      {"127.0.0.2 is eligible", listenerDoc(""), {adapter(1, {ip(127, 0, 0, 1), ip(127, 0, 0, 2)})}, "127.0.0.2",
       {notTo + "127.0.0.1 2130706433\n", setTo + "127.0.0.2 2130706434\n"}},
      {"first eligible of two adapters wins", listenerDoc(""),
       {adapter(2, {ip(10, 1, 0, 5)}), adapter(4, {ip(172, 16, 0, 9)})}, "10.1.0.5",
       {setTo + "10.1.0.5 167837701\n", configured}},
      {"a configured listener stays", listenerDoc("10.9.9.9"), {adapter(2, {ip(10, 1, 0, 5), ip(10, 1, 0, 6)})},
       "10.9.9.9", {configured, configured}},
      {"no settings yet (start-up run)", Json::Value(), {adapter(2, {ip(10, 1, 0, 5)})}, Json::Value(),
       {configured}},
      {"no listenerIP member", Json::Value(Json::objectValue), {adapter(2, {ip(10, 1, 0, 5)})}, Json::Value(),
       {configured}},
      {"a non-string listenerIP reads as its default, empty", listenerDoc(5), {adapter(2, {ip(10, 1, 0, 5)})},
       "10.1.0.5", {setTo + "10.1.0.5 167837701\n"}},
  };
  for (const Case& c : cases) {
    DiscoveryRun run;
    run.settingsDoc = c.settingsDoc;
    run(listOf(c.adapters));
    const Json::Value after = run.settingsDoc.isObject() && run.settingsDoc.isMember("listenerIP")
                                  ? run.settingsDoc["listenerIP"]
                                  : Json::Value();
    EXPECT_EQ(after, c.listenerAfter) << c.name;
    size_t at = 0;
    for (const std::string& line : c.lines) {
      const size_t found = run.out.find(line, at);
      ASSERT_NE(found, std::string::npos) << c.name << ": missing or out of order: " << line << "\n" << run.out;
      at = found + line.size();
    }
    size_t decisions = 0;
    for (const std::string& marker : {notTo, setTo, configured}) {
      for (size_t p = run.out.find(marker); p != std::string::npos; p = run.out.find(marker, p + 1)) ++decisions;
    }
    EXPECT_EQ(decisions, c.lines.size()) << c.name << "\n" << run.out;
  }
}

TEST(Discovery, ListenerChangedMeanwhileIsLeftAlone) {
  DiscoveryRun run;
  DiscoveryIo io;
  io.write = [&run](const std::string& text) { run.out += text; };
  io.listenerEmpty = [] { return true; };
  io.takeListener = [](const std::string&) { return false; };
  runDiscovery([] { return listOf({adapter(2, {ip(10, 1, 0, 5)})}); }, run.interfaces, io);
  EXPECT_THAT(run.out, testing::HasSubstr("\tIPV4:10.1.0.5 167837701\n\nNot Setting listener from discovery as "
                                          "its defined in the configuration file\tNumber of Unicast"));
}

TEST(Discovery, RecordNeverShrinksButIpv6ListsAreCurrent) {
  DiscoveryRun run;
  run.settingsDoc = listenerDoc("10.9.9.9");
  AdapterInfo withMac = adapter(2, {ip(10, 0, 0, 1), ip(10, 0, 0, 2)});
  withMac.physicalAddress = {0xde, 0xad, 0x00, 0x01, 0x02, 0x0f};
  withMac.unicast6 = {ip6("2001:db8::1"), ip6("2001:db8::2")};
  run(listOf({withMac, adapter(5, {ip(10, 5, 0, 1)})}));
  AdapterInfo later = adapter(2, {ip(10, 0, 0, 7)});  // fewer addresses, no mac, adapter 5 gone
  later.unicast6 = {ip6("2001:db8::7")};
  run(listOf({later}));

  // IPv6 addresses come and go (temporary ones every day): their list is
  // the current one.
  Json::Value expected;
  expected["if_2"]["ips"][0] = "10.0.0.7";
  expected["if_2"]["ips"][1] = "10.0.0.2";
  expected["if_2"]["ips6"][0] = "2001:db8::7";
  expected["if_2"]["mac"] = "de:ad:0:1:2:f";
  expected["if_5"]["ips"][0] = "10.5.0.1";
  expected["if_5"]["ips6"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(run.interfaces, expected) << run.interfaces.toStyledString();
}

TEST(Discovery, FailurePaths) {
  struct Case {
    const char* name;
    AdapterList list;
    std::string text;  // after the first line
    bool exitRequested;
  };
  AdapterList noData;
  noData.result = 232;
  AdapterList withText;
  withText.result = 87;
  withText.errorText = "The parameter is incorrect.\r\n";
  AdapterList withoutText;
  withoutText.result = 1234;
  AdapterList overflow;
  overflow.result = 111;
  overflow.errorText = "The file name is too long.\r\n";
  AdapterList noMemory;
  noMemory.allocationFailed = true;
  const Case cases[] = {
      {"no data", noData,
       "Call to GetAdaptersAddresses failed with error: 232\n\tNo addresses were found for the requested parameters\n",
       false},
      {"error with a system text", withText,
       "Call to GetAdaptersAddresses failed with error: 87\n\tError: The parameter is incorrect.\r\n", true},
      {"error without a text", withoutText, "Call to GetAdaptersAddresses failed with error: 1234\n", false},
      {"third buffer overflow", overflow,
       "Call to GetAdaptersAddresses failed with error: 111\n\tError: The file name is too long.\r\n", true},
      {"no memory for the list", noMemory, "Memory allocation failed for IP_ADAPTER_ADDRESSES struct\n", true},
  };
  for (const Case& c : cases) {
    DiscoveryRun run;
    run.settingsDoc = listenerDoc("");
    run.interfaces["if_1"]["ips"][0] = "10.0.0.1";
    const Json::Value before = run.interfaces;
    run(c.list);
    EXPECT_EQ(run.out, "Calling GetAdaptersAddresses function with family = AF_INET\n" + c.text) << c.name;
    EXPECT_EQ(run.exitRequested, c.exitRequested) << c.name;
    EXPECT_EQ(run.interfaces, before) << c.name;
    EXPECT_EQ(run.settingsDoc["listenerIP"], "") << c.name;
  }
}

}  // namespace

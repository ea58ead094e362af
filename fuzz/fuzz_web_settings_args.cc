// Settings query arguments through the settings step's logic: the bytes are
// split at '&' into the values of the six arguments, in the order they are
// looked up; the changes are worked out against a fixed settings document.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/settings.h"
#include "web/settings_request.h"

namespace {

Json::Value currentSettings() {
  Json::Value doc(Json::objectValue);
  doc["httpPort"] = 7909;
  doc["receiverPort"] = 2055;
  doc["pass"] = "qolpe";
  doc["user"] = "admin";
  doc["receiverIP"] = "0.0.0.0";
  doc["listenerIP"] = "";
  return doc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* quiet = freopen("/dev/null", "w", stdout);
  (void)quiet;
  static const char* const kNames[] = {"httpPort", "receiverPort", "userPass", "receiverIP", "listenerIP",
                                       "savesettings"};
  // Each field is a value; a field starting with '!' stands for an argument
  // given without "=", an empty input for an absent one.
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '&' && fields.size() < 6) {
      fields.emplace_back();
    } else {
      fields.back().push_back(static_cast<char>(data[i]));
    }
  }
  fields.resize(6);
  ArgumentLookup lookup = [&](const char* name) -> const char* {
    for (size_t i = 0; i < 6; ++i) {
      if (std::string(name) != kNames[i]) continue;
      if (fields[i].empty() || fields[i][0] == '!') return nullptr;
      return fields[i].c_str();
    }
    return nullptr;
  };
  const Json::Value current = currentSettings();
  const Json::Value changes = settingsChanges(current, lookup);
  if (!changes.isObject()) __builtin_trap();
  for (const std::string& key : changes.getMemberNames()) {
    const Json::Value& value = changes[key];
    if (key == "httpPort" || key == "receiverPort") {
      if (!value.isInt() || value == current[key]) __builtin_trap();
    } else if (key == "pass") {
      // An empty password never replaces the current one.
      if (!value.isString() || value.asString().empty() || value == current[key]) __builtin_trap();
    } else if (key == "receiverIP" || key == "listenerIP") {
      if (!value.isString() || value == current[key]) __builtin_trap();
    } else if (key != "exportFormat") {
      __builtin_trap();  // nothing else may change, `user` least of all
    }
  }
  int32_t port = 0;
  portFromText(fields[0].c_str(), port);
  return 0;
}

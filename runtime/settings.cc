#include "runtime/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/files.h"
#include "runtime/console.h"

Json::Value settings;
std::mutex settingsMutex;

namespace {

struct Default {
  const char* key;
  Json::Value value;
};

const Default* defaults() {
  static const Default table[] = {
      {"listenerIP", Json::Value("")},   {"receiverIP", Json::Value("0.0.0.0")},
      {"receiverPort", Json::Value(2055)}, {"httpPort", Json::Value(7909)},
      {"user", Json::Value("admin")},    {"pass", Json::Value("qolpe")},
      {nullptr, Json::Value()},
  };
  return table;
}

Json::Value defaultFor(const char* key) {
  for (const Default* d = defaults(); d->key; ++d) {
    if (std::string(d->key) == key) return d->value;
  }
  return Json::Value();
}

std::string compactText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

const char* typeName(const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue: return "null";
    case Json::intValue:
    case Json::uintValue: return "an integer";
    case Json::realValue: return "a number";
    case Json::stringValue: return "a string";
    case Json::booleanValue: return "a boolean";
    case Json::arrayValue: return "an array";
    case Json::objectValue: return "an object";
  }
  return "unknown";
}

void reportWrongType(const char* key, const char* wanted, const Json::Value& found,
                     const std::string& fallbackText) {
  const bool secret = std::string(key) == "pass";
  const std::string shown = secret ? std::string(kMaskedPassword) : compactText(found);
  const std::string fallback = secret ? std::string(kMaskedPassword) : fallbackText;
  consolePrintf("Setting %s should be %s but holds %s; using %s\n", key, wanted, shown.c_str(),
                fallback.c_str());
}

// Parses the settings file text. Returns false with the reader's messages in
// `errors` when the text is not one JSON document.
bool parseSettingsText(std::istream& in, Json::Value& out, std::string& errors) {
  Json::CharReaderBuilder builder;
  try {
    return Json::parseFromStream(builder, in, &out, &errors);
  } catch (const std::exception& e) {
    errors = e.what();
    return false;
  }
}

}  // namespace

std::string settingsFileText(const Json::Value& doc) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "   ";
  return Json::writeString(builder, doc);
}

void saveSettings() {
  replaceFileContents(kSettingsFileName, withSystemLineBreaks(settingsFileText(settingsSnapshot())));
}

SettingsText parseSettingsFile(const std::string& text) {
  SettingsText result;
  std::istringstream in(text);
  std::string errors;
  if (!parseSettingsText(in, result.doc, errors)) {
    result.error = "Settings file " + std::string(kSettingsFileName) + " is not valid JSON:\n" + errors;
    if (result.error.back() != '\n') result.error += "\n";
    return result;
  }
  if (!result.doc.isObject() && !result.doc.isNull()) {
    result.error = "Settings file " + std::string(kSettingsFileName) + " must hold a JSON object, not " +
                   typeName(result.doc) + "\n";
    return result;
  }
  Json::Value& doc = result.doc;
  if (!doc.isMember("user")) doc["user"] = "admin";
  if (!doc.isMember("pass")) doc["pass"] = "qolpe";
  if (!doc.isMember("listenerIP")) {
    result.messages += "setting default listenerIP \n";
    doc["listenerIP"] = "";
  }
  if (!doc.isMember("receiverIP")) {
    result.messages += "setting default receiverIP 0.0.0.0\n";
    doc["receiverIP"] = "0.0.0.0";
  }
  if (!doc.isMember("receiverPort")) {
    result.messages += "setting default receiverPort 2055\n";
    doc["receiverPort"] = 2055;
  }
  if (!doc.isMember("httpPort")) {
    result.messages += "setting default httpPort 7909\n";
    doc["httpPort"] = 7909;
  }
  result.ok = true;
  return result;
}

void loadSettings() {
  std::ifstream file(kSettingsFileName, std::ios::binary);
  if (!file.is_open()) {
    consoleWrite("While opening a file an error is encountered\n");
    {
      std::lock_guard<std::mutex> lock(settingsMutex);
      for (const Default* d = defaults(); d->key; ++d) settings[d->key] = d->value;
    }
    saveSettings();
  } else {
    consoleWrite("Settings file vantrelsettings.json found \n");
    std::stringstream text;
    text << file.rdbuf();
    SettingsText loaded = parseSettingsFile(text.str());
    if (!loaded.ok) {
      consoleWrite(loaded.error);
      exit(1);
    }
    {
      std::lock_guard<std::mutex> lock(settingsMutex);
      settings = std::move(loaded.doc);
    }
    consoleWrite(loaded.messages);
  }
  consoleWrite(settingsConsoleText(settingsSnapshot()) + "\n");
}

Json::Value settingsSnapshot() {
  std::lock_guard<std::mutex> lock(settingsMutex);
  return settings;
}

Json::Value settingValue(const char* key) {
  std::lock_guard<std::mutex> lock(settingsMutex);
  if (!settings.isObject()) return Json::Value();
  const Json::Value* found = settings.find(key, key + strlen(key));
  return found ? *found : Json::Value();
}

void setSetting(const char* key, const Json::Value& value) {
  std::lock_guard<std::mutex> lock(settingsMutex);
  settings[key] = value;
}

bool settingIsOff(const char* key) { return settingValue(key) == Json::Value("0.0.0.0"); }

int32_t readIntMember(const Json::Value& doc, const char* key, int32_t fallback) {
  const Json::Value* found = doc.isObject() ? doc.find(key, key + strlen(key)) : nullptr;
  if (found && found->isInt()) return found->asInt();
  reportWrongType(key, "an integer", found ? *found : Json::Value(), std::to_string(fallback));
  return fallback;
}

std::string readStringMember(const Json::Value& doc, const char* key, const std::string& fallback) {
  const Json::Value* found = doc.isObject() ? doc.find(key, key + strlen(key)) : nullptr;
  if (found && found->isString()) return found->asString();
  reportWrongType(key, "a string", found ? *found : Json::Value(), compactText(Json::Value(fallback)));
  return fallback;
}

int32_t settingInt(const char* key) {
  Json::Value one(Json::objectValue);
  one[key] = settingValue(key);
  Json::Value fallback = defaultFor(key);
  return readIntMember(one, key, fallback.isInt() ? fallback.asInt() : 0);
}

std::string settingString(const char* key) {
  Json::Value one(Json::objectValue);
  one[key] = settingValue(key);
  Json::Value fallback = defaultFor(key);
  return readStringMember(one, key, fallback.isString() ? fallback.asString() : std::string());
}

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

bool saveSettings() {
  std::string error;
  if (replaceFileContents(kSettingsFileName, withSystemLineBreaks(settingsFileText(settingsSnapshot())), &error)) {
    return true;
  }
  consolePrintf("Settings not saved: %s cannot be written (%s); the new values last until the program ends\n",
                kSettingsFileName, error.c_str());
  return false;
}

bool isValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t more;
    uint32_t code, least;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      more = 1, code = c & 0x1f, least = 0x80;
    } else if ((c & 0xf0) == 0xe0) {
      more = 2, code = c & 0x0f, least = 0x800;
    } else if ((c & 0xf8) == 0xf0) {
      more = 3, code = c & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i <= more) return false;
    for (size_t k = 1; k <= more; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = code << 6 | (next & 0x3f);
    }
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    i += more + 1;
  }
  return true;
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
  for (const char* key : {"user", "pass"}) {
    if (doc.isObject() && doc.isMember(key) && doc[key].isString() && !isValidUtf8(doc[key].asString())) {
      result.error = "Settings file " + std::string(kSettingsFileName) + ": " + key + " is not valid UTF-8 text\n";
      return result;
    }
  }
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
    // One byte more than allowed tells a file that is too large.
    std::string text(kSettingsFileLimit + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    if (text.size() > kSettingsFileLimit) {
      consolePrintf("Settings file %s is larger than %zu bytes; a settings file is a few hundred bytes\n",
                    kSettingsFileName, kSettingsFileLimit);
      exit(1);
    }
    SettingsText loaded = parseSettingsFile(text);
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

bool settingIsDefault(const char* key) { return settingValue(key) == defaultFor(key); }

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

int32_t readPortMember(const Json::Value& doc, const char* key, int32_t fallback) {
  const Json::Value* found = doc.isObject() ? doc.find(key, key + strlen(key)) : nullptr;
  if (found && found->isInt() && found->asInt() >= 1 && found->asInt() <= 65535) return found->asInt();
  reportWrongType(key, "a port number from 1 to 65535", found ? *found : Json::Value(), std::to_string(fallback));
  return fallback;
}

bool portFromText(const char* text, int32_t& port) {
  int32_t value = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > 65535) return false;
  }
  if (p == text || *p != '\0' || value == 0) return false;
  port = value;
  return true;
}

std::string readStringMember(const Json::Value& doc, const char* key, const std::string& fallback) {
  const Json::Value* found = doc.isObject() ? doc.find(key, key + strlen(key)) : nullptr;
  if (found && found->isString()) return found->asString();
  reportWrongType(key, "a string", found ? *found : Json::Value(), compactText(Json::Value(fallback)));
  return fallback;
}

bool readFlagMember(const Json::Value& doc, const char* key, bool fallback) {
  const Json::Value* found = doc.isObject() ? doc.find(key, key + strlen(key)) : nullptr;
  if (found == nullptr || found->isNull()) return fallback;
  if (found->isBool()) return found->asBool();
  reportWrongType(key, "true or false", *found, fallback ? "true" : "false");
  return fallback;
}

bool settingFlag(const char* key, bool fallback) {
  Json::Value one(Json::objectValue);
  one[key] = settingValue(key);
  return readFlagMember(one, key, fallback);
}

int32_t settingPort(const char* key) {
  Json::Value one(Json::objectValue);
  one[key] = settingValue(key);
  Json::Value fallback = defaultFor(key);
  return readPortMember(one, key, fallback.isInt() ? fallback.asInt() : 0);
}

std::string settingString(const char* key) {
  Json::Value one(Json::objectValue);
  one[key] = settingValue(key);
  Json::Value fallback = defaultFor(key);
  return readStringMember(one, key, fallback.isString() ? fallback.asString() : std::string());
}

// The settings document and its file, vantrelsettings.json in the working
// folder. Any thread may call the accessors; the document is read and changed
// only under settingsMutex, and no file I/O happens while it is held.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

extern Json::Value settings;  // guarded by settingsMutex
extern std::mutex settingsMutex;

// Name of the settings file, relative to the working folder.
inline constexpr const char* kSettingsFileName = "vantrelsettings.json";

// Most bytes a settings file may have.
inline constexpr size_t kSettingsFileLimit = 1024 * 1024;

// Reads the settings file into `settings`, or creates it with the defaults
// when it cannot be opened, and fills in missing keys. A file that exists but
// cannot be used (larger than kSettingsFileLimit, not JSON, its top level
// neither an object nor null, or a `user` or `pass` that is not valid UTF-8)
// is reported and ends the process with status 1. Called once, by main.
void loadSettings();

// The settings file's text checked and completed: the document with every
// missing key filled in and the default messages, or the error text that
// ends start-up.
struct SettingsText {
  bool ok = false;
  Json::Value doc;
  std::string messages;  // "setting default ..." lines, in order
  std::string error;     // when !ok: what to print before exiting
};
SettingsText parseSettingsFile(const std::string& text);

// Writes the whole document to the settings file through a temporary file
// renamed over the old one, which keeps the old file's mode and owner (a new
// file is readable by its owner only). True when saved; a failed save prints
// one line with the reason and leaves the old file.
bool saveSettings();

// The file text saveSettings writes for `doc`.
std::string settingsFileText(const Json::Value& doc);

// A copy of the whole document.
Json::Value settingsSnapshot();

// A copy of one member (null when absent).
Json::Value settingValue(const char* key);

// True when the member holds its default value (the published password, for
// one).
bool settingIsDefault(const char* key);

// Stores one member.
void setSetting(const char* key, const Json::Value& value);

// True when the member equals the JSON string "0.0.0.0" (the "off" value of
// listenerIP and receiverIP).
bool settingIsOff(const char* key);

// Typed reads. A value of the wrong JSON type (for a port: anything but an
// integer from 1 to 65535) prints one line naming the key, what it should
// be and the value found, and the key's default is returned instead.
int32_t settingPort(const char* key);
std::string settingString(const char* key);

// A true-or-false setting that files may leave out (captureIPv6): absent or
// null gives `fallback` without a word; another type than a boolean prints
// the typed-read line and gives `fallback` too.
bool settingFlag(const char* key, bool fallback);

// The same rules applied to a member of any document, with an explicit
// default; the building blocks of the three above.
int32_t readPortMember(const Json::Value& doc, const char* key, int32_t fallback);
std::string readStringMember(const Json::Value& doc, const char* key, const std::string& fallback);
bool readFlagMember(const Json::Value& doc, const char* key, bool fallback);

// A port as text (a settings request's argument): a whole decimal number
// from 1 to 65535 with nothing before or after it. False for anything else,
// `port` then unchanged.
bool portFromText(const char* text, int32_t& port);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF). The user name and password must be: the
// settings file's writer cannot keep other bytes as they are.
bool isValidUtf8(std::string_view text);

#include "web/settings_request.h"

#include <microhttpd.h>

#include <cstring>
#include <mutex>

#include "export/export_format.h"
#include "platform/clock.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "runtime/workers.h"
#include "web/request_origin.h"

namespace {

// The settings arguments, in the order they are looked up.
constexpr const char* kArgumentNames[] = {"httpPort",     "receiverPort",    "userPass",    "receiverIP",
                                          "listenerIP",   "exportFormat",    "exportTransport", "savesettings"};

// Fallbacks for a current setting of the wrong JSON type, as the settings
// store's typed reads use them.
constexpr int32_t kDefaultHttpPort = 7909;
constexpr int32_t kDefaultReceiverPort = 2055;
constexpr const char* kDefaultPass = "qolpe";
constexpr const char* kDefaultReceiverIP = "0.0.0.0";
constexpr const char* kDefaultListenerIP = "";

// Steps 1 and 2: a port argument.
void portChange(const Json::Value& current, const ArgumentLookup& lookup, const char* name, int32_t fallback,
                Json::Value& changes) {
  const char* text = lookup(name);
  if (text == nullptr) return;
  consolePrintf("%s %s specified\n", name, text);
  int32_t value = 0;
  if (!portFromText(text, value)) {
    consolePrintf("%s %s is not a port number from 1 to 65535; %s unchanged\n", name, text, name);
    return;
  }
  if (value != readPortMember(current, name, fallback)) changes[name] = value;
}

// Steps 4 and 5: an address argument, stored as text whatever it holds.
void textChange(const Json::Value& current, const ArgumentLookup& lookup, const char* name,
                const char* fallback, Json::Value& changes) {
  const char* text = lookup(name);
  if (text == nullptr) return;
  consolePrintf("%s %s specified\n", name, text);
  if (text != readStringMember(current, name, fallback)) changes[name] = text;
}

// The export format: one of the two names, or refused. An absent current
// setting means native, so asking for native then changes nothing.
void exportFormatChange(const Json::Value& current, const ArgumentLookup& lookup, Json::Value& changes) {
  const char* text = lookup("exportFormat");
  if (text == nullptr) return;
  consolePrintf("exportFormat %s specified\n", text);
  ExportFormat requested;
  if (!exportFormatFromName(text, requested)) {
    consolePrintf("exportFormat %s is neither native nor ipfix; exportFormat unchanged\n", text);
    return;
  }
  const std::string currentName =
      current.isMember("exportFormat") ? readStringMember(current, "exportFormat", kExportFormatNative)
                                       : kExportFormatNative;
  if (text != currentName) changes["exportFormat"] = text;
}

// The export transport: "udp" or "tcp", or refused. An absent current
// setting means udp. "tcp" with the native format is taken as asked; the
// export run says that it sends by UDP then.
void exportTransportChange(const Json::Value& current, const ArgumentLookup& lookup, Json::Value& changes) {
  const char* text = lookup("exportTransport");
  if (text == nullptr) return;
  consolePrintf("exportTransport %s specified\n", text);
  if (strcmp(text, "udp") != 0 && strcmp(text, "tcp") != 0) {
    consolePrintf("exportTransport %s is neither udp nor tcp; exportTransport unchanged\n", text);
    return;
  }
  const std::string currentName =
      current.isMember("exportTransport") ? readStringMember(current, "exportTransport", "udp") : "udp";
  if (text != currentName) changes["exportTransport"] = text;
}

}  // namespace

bool hasSettingsArgument(const ArgumentLookup& lookup) {
  for (const char* name : kArgumentNames) {
    if (lookup(name) != nullptr) return true;
  }
  return false;
}

Json::Value settingsChanges(const Json::Value& current, const ArgumentLookup& lookup) {
  Json::Value changes(Json::objectValue);
  portChange(current, lookup, "httpPort", kDefaultHttpPort, changes);
  portChange(current, lookup, "receiverPort", kDefaultReceiverPort, changes);
  if (const char* pass = lookup("userPass")) {
    consolePrintf("userPass specified%zu\n", strlen(pass));
    // Other bytes would not survive the settings file: the owner would be
    // locked out at the next start.
    if (!isValidUtf8(pass)) {
      consoleWrite("userPass is not valid UTF-8 text; pass unchanged\n");
    } else if (*pass != '\0' && pass != readStringMember(current, "pass", kDefaultPass)) {
      changes["pass"] = pass;
    }
  }
  textChange(current, lookup, "receiverIP", kDefaultReceiverIP, changes);
  textChange(current, lookup, "listenerIP", kDefaultListenerIP, changes);
  exportFormatChange(current, lookup, changes);
  exportTransportChange(current, lookup, changes);
  return changes;
}

void restartCaptureAndExport() {
  consoleWrite("Saving settings restart:" + settingsConsoleText(settingsSnapshot()) + "\n");
  for (const Worker* w : kWorkers) restartWorker(*w);
  sleepMillis(1000);
}

SettingsSave applySettingsArgsWith(const ArgumentLookup& lookup) {
  // Worked out on a copy, so no lock is held while lines are printed; only
  // the changed members are written back.
  const Json::Value changes = settingsChanges(settingsSnapshot(), lookup);
  SettingsSave save = SettingsSave::nothingChanged;
  if (!changes.empty()) {
    {
      std::lock_guard<std::mutex> lock(settingsMutex);
      for (const std::string& name : changes.getMemberNames()) settings[name] = changes[name];
    }
    consoleWrite("Saving new settings:" + settingsConsoleText(settingsSnapshot()) + "\n");
    save = saveSettings() ? SettingsSave::saved : SettingsSave::notSaved;
  }
  if (lookup("savesettings") != nullptr) restartCaptureAndExport();
  return save;
}

const char* getArgument(MHD_Connection* connection, const char* name) {
  // The library matches argument names without regard to letter case and
  // gives the first argument of that name.
  return MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
}

SettingsSave applySettingsArgs(MHD_Connection* connection, const ArgumentLookup& lookup) {
  if (!hasSettingsArgument(lookup)) return SettingsSave::nothingChanged;
  RequestOriginHeaders headers;
  headers.secFetchSite = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Sec-Fetch-Site");
  headers.origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
  headers.referer = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Referer");
  headers.host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
  if (fromAnotherSite(headers)) {
    consoleWrite(kIgnoredCrossSiteLine);
    return SettingsSave::nothingChanged;
  }
  return applySettingsArgsWith(lookup);
}

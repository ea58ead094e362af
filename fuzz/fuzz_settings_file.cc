// Settings file bytes through the settings load's parse and completion.
#include <cstdint>
#include <string>

#include "runtime/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SettingsText loaded = parseSettingsFile(std::string(reinterpret_cast<const char*>(data), size));
  if (loaded.ok) {
    // Every key the program reads is present, and the typed reads of a
    // completed document never fail uncontrolled.
    for (const char* key : {"listenerIP", "receiverIP", "receiverPort", "httpPort", "user", "pass"}) {
      if (!loaded.doc.isMember(key)) __builtin_trap();
    }
    std::string text = settingsFileText(loaded.doc);
    SettingsText again = parseSettingsFile(text);
    if (!again.ok || !again.messages.empty()) __builtin_trap();
  } else if (loaded.error.empty()) {
    __builtin_trap();
  }
  return 0;
}

// The wire formats the export loop can send, and their names as the
// exportFormat setting spells them. Pure; any thread.
#pragma once

#include <string_view>

enum class ExportFormat {
  native,  // the monitor's own datagrams (version 2)
  ipfix,   // IPFIX messages (version 10) for standard flow collectors
};

inline constexpr const char* kExportFormatNative = "native";
inline constexpr const char* kExportFormatIpfix = "ipfix";

// The format a setting value names; false for any other text (letter case
// counts).
inline bool exportFormatFromName(std::string_view name, ExportFormat& format) {
  if (name == kExportFormatNative) {
    format = ExportFormat::native;
    return true;
  }
  if (name == kExportFormatIpfix) {
    format = ExportFormat::ipfix;
    return true;
  }
  return false;
}

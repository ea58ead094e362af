// Settings changes carried as query arguments of an authenticated GET or in
// the form of an authenticated POST to /data/, and the restart of capture and export they may ask for. Runs on web server
// connection threads, several at once; holds no lock while it waits.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>

struct MHD_Connection;

// The value of a query argument by name (letter case of the name ignored, the
// first such argument counts); null when absent or given without "=".
using ArgumentLookup = std::function<const char*(const char* name)>;

// True when any of httpPort, receiverPort, userPass, receiverIP, listenerIP,
// exportFormat or savesettings is present with a value.
bool hasSettingsArgument(const ArgumentLookup& lookup);

// Works out the changes that httpPort, receiverPort, userPass, receiverIP,
// listenerIP and exportFormat (in that order) make to `current`, printing
// each argument's console line. Returns the members to store; an empty
// object when nothing changes. A port value that is not a whole number from
// 1 to 65535, a userPass that is not valid UTF-8, or an exportFormat other
// than "native" and "ipfix", prints one line and changes nothing.
Json::Value settingsChanges(const Json::Value& current, const ArgumentLookup& lookup);

// What a settings step did with the settings file.
enum class SettingsSave { nothingChanged, saved, notSaved };

// The whole settings step without the web server: stores the changes in the
// settings document, saves the file once when anything changed, then runs the
// restart sequence when savesettings has a value.
SettingsSave applySettingsArgsWith(const ArgumentLookup& lookup);

// Stops capture, waits for it (10 ms polls, "(ws)"), lets it start again,
// does the same for export ("(we)"), then pauses 1000 ms.
void restartCaptureAndExport();

// The settings step of one request: applySettingsArgsWith over the request's
// arguments (`lookup`: the GET arguments, or a POST form's), unless the
// request comes from another site, in which case one console line says the
// arguments were ignored.
SettingsSave applySettingsArgs(MHD_Connection* connection, const ArgumentLookup& lookup);

// The answer header that tells the dashboard whether the changes a request
// made reached the settings file: "true" or "false"; absent when nothing
// changed.
inline constexpr const char* kSettingsSavedHeader = "X-Settings-Saved";

// A GET argument of the request, looked up by name without regard to letter
// case; null when absent or valueless.
const char* getArgument(MHD_Connection* connection, const char* name);

// The console line for settings arguments ignored because the request came
// from another site.
inline constexpr const char* kIgnoredCrossSiteLine =
    "Settings arguments ignored: the request comes from another site\n";

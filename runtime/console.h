// Console output: the program's commentary on standard output. Any thread may
// call these; each call writes its text with one stdio call, so lines from
// different threads do not mix.
#pragma once

#include <json/forwards.h>

#include <string>
#include <string_view>

// Writes `text` to standard output as it stands.
void consoleWrite(std::string_view text);

// Held lines. From consoleHold on, what the calling thread writes is kept
// instead of printed, until consoleRelease prints what was kept and lets the
// rest through, or consoleEndHold hands it to the caller. A supervisor holds
// the lines of a run's set-up so that a failure like the last one can be
// counted instead of printed.
void consoleHold();
// Prints what this thread kept and ends its hold; nothing when it holds none.
void consoleRelease();
// Ends this thread's hold. True, with the kept text in `kept`, when the
// hold was still on; false when it had been released (or never begun).
bool consoleEndHold(std::string& kept);

// printf-style line(s) to standard output, written with one stdio call.
// The formats are C99's on every system (MinGW's vsnprintf included, whose
// dialect its headers name in __MINGW_PRINTF_FORMAT).
void consolePrintf(const char* format, ...)
#if defined(__MINGW32__)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The text a printf-style format makes, for a message that is also kept
// elsewhere (a status) besides being printed.
std::string formatText(const char* format, ...)
#if defined(__MINGW32__)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The same for a wide-character format (the one message the console shows in
// wide characters). Characters beyond ASCII are written in UTF-8.
void consoleWidePrintf(const wchar_t* format, ...);

// The ones below live in console_json.cc, apart from the rest, so that code
// which prints but handles no JSON links without JsonCpp.

// A JSON value as the default stream writer writes it (tab indentation,
// " : " separators, members in byte order).
std::string jsonText(const Json::Value& value);

// Like jsonText, but a settings document's `pass` member, and its
// `metricsToken` unless empty, are shown as "********". The document itself
// is not changed.
std::string settingsConsoleText(const Json::Value& settingsDoc);

// A copy of a settings document with its `pass` member, when present, and
// its `metricsToken`, unless absent or empty, set to "********": what the
// console and the status document show.
Json::Value withPasswordMasked(Json::Value settingsDoc);

// The text shown for a password on the console.
inline constexpr const char* kMaskedPassword = "********";

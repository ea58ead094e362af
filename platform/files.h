// Files and folders: whole-file replacement for the small files the monitor
// writes (the settings file), the system's line breaks for them, and the
// working folder. Safe to call from any thread; replacements for different
// paths do not meet.
#pragma once

#include <string>

// Makes `path` hold exactly `text`: writes a temporary file beside it, flushes
// it to the disk, then renames it over `path` (replacing an existing file), so
// a reader finds either the old file or the new one, whole. The new file
// keeps the old one's permissions and owner; where there was none, only its
// owner may read and write it (mode 0600 on Linux). Returns false on any
// failure, with the system's reason in `*error` when given; the old file is
// then untouched and no temporary file is left.
bool replaceFileContents(const std::string& path, const std::string& text, std::string* error = nullptr);

// `text` with the line breaks of the system's text files: as it stands on
// Linux; on Windows every "\n" becomes "\r\n".
std::string withSystemLineBreaks(const std::string& text);

// Makes `path` the process's working folder. False, with the system's error
// text in `error`, when it cannot. Called by main before any other thread runs.
bool changeWorkingFolder(const std::string& path, std::string& error);

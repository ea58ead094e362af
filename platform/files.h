// Whole-file replacement for the small files the monitor writes (the settings
// file). Safe to call from any thread; calls for different paths do not meet.
#pragma once

#include <string>

// Makes `path` hold exactly `text`: writes a temporary file beside it, flushes
// it to the disk, then renames it over `path` (replacing an existing file), so
// a reader finds either the old file or the new one, whole. Returns false on
// any failure; the old file is then untouched and no temporary file is left.
bool replaceFileContents(const std::string& path, const std::string& text);

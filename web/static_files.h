// Which file of the web folder a request path names, and the content type it
// is served with. Pure path logic plus read-only file-system look-ups; any
// thread may call these.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The folder the browser interface is served from, relative to the working
// folder.
inline constexpr const char* kWebRoot = "./resources/web";

// Content-Type for a request path (after "/" became "/index.html"), from its
// suffix, case-sensitively: ".css", ".gif", ".jpg", ".js"; anything else is
// "text/html".
const char* contentTypeForPath(std::string_view path);

// False when the request path must never reach the file system: it holds a
// ".." segment, a backslash or a NUL byte.
bool webPathIsClean(std::string_view path);

// The regular file that request path `path` names under `root`, with every
// symbolic link resolved; empty when the path is not clean, the file does not
// exist or is not a regular file, or it resolves to a place outside `root`.
std::filesystem::path resolveWebFile(const std::string& root, std::string_view path);

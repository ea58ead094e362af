#include "web/static_files.h"

#include <algorithm>
#include <system_error>

namespace {

struct SuffixType {
  std::string_view suffix;
  const char* type;
};

// Tested in this order; the first suffix that matches decides.
constexpr SuffixType kContentTypes[] = {
    {".css", "text/css"},
    {".gif", "image/gif"},
    {".jpg", "image/jpeg"},
    {".js", "application/javascript"},
};

}  // namespace

const char* contentTypeForPath(std::string_view path) {
  for (const SuffixType& row : kContentTypes) {
    if (path.size() >= row.suffix.size() && path.substr(path.size() - row.suffix.size()) == row.suffix) {
      return row.type;
    }
  }
  return "text/html";
}

bool webPathIsClean(std::string_view path) {
  if (path.find('\\') != std::string_view::npos) return false;
  if (path.find('\0') != std::string_view::npos) return false;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('/', start);
    std::string_view segment = path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (segment == "..") return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

std::filesystem::path resolveWebFile(const std::string& root, std::string_view path) {
  namespace fs = std::filesystem;
  if (!webPathIsClean(path)) return {};
  std::error_code ec;
  const fs::path realRoot = fs::canonical(root, ec);
  if (ec) return {};
  // The path begins with "/", so it is appended to the folder's name as text.
  const fs::path realFile = fs::canonical(fs::path(root + std::string(path)), ec);
  if (ec) return {};
  if (!fs::is_regular_file(realFile, ec) || ec) return {};
  // Inside the root means: every component of the root, then at least one more.
  auto [rootAt, fileAt] = std::mismatch(realRoot.begin(), realRoot.end(), realFile.begin(), realFile.end());
  if (rootAt != realRoot.end() || fileAt == realFile.end()) return {};
  return realFile;
}

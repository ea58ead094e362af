// Windows file replacement: ReplaceFileA puts the temporary file in the old
// one's place and keeps the old file's security descriptor (owner and access
// list) and attributes; a new file gets an access list of its owner, SYSTEM
// and Administrators only, and is moved into place with MoveFileExA.
#include "platform/files.h"

#include <windows.h>
#include <sddl.h>

#include <atomic>

namespace {

bool fail(DWORD code, std::string* error) {
  if (error) {
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                             sizeof buffer, nullptr);
    while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ' || buffer[n - 1] == '.')) --n;
    *error = n == 0 ? "Windows error " + std::to_string(code) : std::string(buffer, n);
  }
  return false;
}

}  // namespace

bool replaceFileContents(const std::string& path, const std::string& text, std::string* error) {
  static std::atomic<unsigned> serial{0};
  const std::string temp = path + "." + std::to_string(GetCurrentProcessId()) + "." +
                           std::to_string(serial.fetch_add(1)) + ".tmp";
  const bool exists = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  // Protected: no access is inherited from the folder. "OW" is the owner.
  PSECURITY_DESCRIPTOR ownerOnly = nullptr;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  if (!exists && ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;FA;;;BA)",
                                                                     SDDL_REVISION_1, &ownerOnly, nullptr)) {
    attributes.lpSecurityDescriptor = ownerOnly;
  }
  HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, ownerOnly ? &attributes : nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD createError = GetLastError();
  if (ownerOnly) LocalFree(ownerOnly);
  if (h == INVALID_HANDLE_VALUE) return fail(createError, error);
  bool ok = true;
  size_t done = 0;
  while (ok && done < text.size()) {
    const size_t left = text.size() - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    ok = WriteFile(h, text.data() + done, chunk, &written, nullptr) && written == chunk;
    done += written;
  }
  ok = FlushFileBuffers(h) && ok;
  DWORD code = ok ? 0 : GetLastError();
  if (!CloseHandle(h) && ok) ok = false, code = GetLastError();
  if (ok) {
    // Where the file system cannot replace (ReplaceFileA refuses), a plain
    // move still puts the new text in place.
    const BOOL moved =
        (exists && ReplaceFileA(path.c_str(), temp.c_str(), nullptr, REPLACEFILE_WRITE_THROUGH, nullptr, nullptr)) ||
        MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (moved) return true;
    code = GetLastError();
  }
  DeleteFileA(temp.c_str());
  return fail(code, error);
}

std::string withSystemLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

bool changeWorkingFolder(const std::string& path, std::string& error) {
  return SetCurrentDirectoryA(path.c_str()) || fail(GetLastError(), &error);
}

// Windows file replacement: the C runtime's rename refuses an existing
// target, so the temporary file is moved over the old one with MoveFileExA.
#include "platform/files.h"

#include <windows.h>

#include <atomic>

bool replaceFileContents(const std::string& path, const std::string& text) {
  static std::atomic<unsigned> serial{0};
  const std::string temp = path + "." + std::to_string(GetCurrentProcessId()) + "." +
                           std::to_string(serial.fetch_add(1)) + ".tmp";
  HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
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
  ok = CloseHandle(h) && ok;
  if (ok && MoveFileExA(temp.c_str(), path.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileA(temp.c_str());
  return false;
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

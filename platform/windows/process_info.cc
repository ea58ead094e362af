// Windows process identity: the image path in Win32 form and the account of
// the process's token, through the ANSI functions, without conversion.
#include "platform/process_info.h"

#include <windows.h>

namespace {

// Reads the token's user and looks up its account on the local system.
void readAccount(HANDLE token, ProcessInfo& info) {
  info.account = AccountLookup::kTokenUnreadable;
  HANDLE heap = GetProcessHeap();
  DWORD size = 0;
  if (GetTokenInformation(token, TokenUser, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return;
  }
  void* user = HeapAlloc(heap, HEAP_ZERO_MEMORY, size);
  if (!user) return;
  if (GetTokenInformation(token, TokenUser, user, size, &size)) {
    char name[256];
    char domain[256];
    DWORD nameLength = sizeof name;
    DWORD domainLength = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, static_cast<TOKEN_USER*>(user)->User.Sid, name, &nameLength, domain,
                          &domainLength, &use)) {
      info.account = AccountLookup::kFound;
      info.accountName = name;
      info.accountDomain = domain;
    } else {
      const DWORD error = GetLastError();
      info.account = error == ERROR_NONE_MAPPED ? AccountLookup::kNoneMapped : AccountLookup::kFailed;
      info.lookupError = error;
    }
  }
  HeapFree(heap, 0, user);
}

}  // namespace

ProcessInfo readProcessInfo(uint32_t pid, bool) {
  ProcessInfo info;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return info;
  info.opened = true;

  HANDLE token = nullptr;
  if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
    readAccount(token, info);
    CloseHandle(token);
  }

  char path[1024];
  DWORD length = sizeof path;
  if (QueryFullProcessImageNameA(process, 0, path, &length)) {
    info.imagePathRead = true;
    info.imagePath = path;
  }
  CloseHandle(process);
  return info;
}

ProcessInfo readAccountOf(uint32_t) { return ProcessInfo{}; }

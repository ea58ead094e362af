// Windows: EnumServicesStatusExW over the running Win32 services, with
// their process ids, in as many calls as the manager needs.
#include "platform/hosted_services.h"

#include <windows.h>

ServiceListRead readServiceList() {
  ServiceListRead out;
  out.supported = true;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
  if (manager == nullptr) {
    out.error = GetLastError();
    return out;
  }
  DWORD resume = 0;
  for (int call = 0; call < 64; ++call) {
    DWORD needed = 0, returned = 0;
    ServiceListBatch batch;
    // The manager hands out at most 256 KiB a call.
    batch.bytes.resize(64 * 1024);
    BOOL ok = EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, batch.bytes.data(),
                                    static_cast<DWORD>(batch.bytes.size()), &needed, &returned, &resume, nullptr);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_MORE_DATA && returned == 0 && needed > batch.bytes.size()) {
      batch.bytes.resize(needed);
      ok = EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, batch.bytes.data(),
                                 static_cast<DWORD>(batch.bytes.size()), &needed, &returned, &resume, nullptr);
      error = ok ? ERROR_SUCCESS : GetLastError();
    }
    if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
      out.error = error;
      break;
    }
    batch.count = returned;
    batch.base = reinterpret_cast<uintptr_t>(batch.bytes.data());
    out.batches.push_back(std::move(batch));
    if (error == ERROR_SUCCESS) break;
  }
  CloseServiceHandle(manager);
  return out;
}

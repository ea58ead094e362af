// Windows service: registration through the Service Control Manager, and the
// service itself: StartServiceCtrlDispatcherA hands the main thread to the
// SCM, which runs serviceMain on a thread of its own; control requests come
// to onControl on the main thread. Reports follow platform/service_state.
#include "platform/service.h"

#include <windows.h>

#include <cstdlib>
#include <mutex>

#include "platform/service_state.h"

namespace {

std::string errorText(DWORD code) {
  char buffer[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                           sizeof buffer, nullptr);
  while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ' || buffer[n - 1] == '.')) --n;
  if (n == 0) return "Windows error " + std::to_string(code);
  return std::string(buffer, n) + " (" + std::to_string(code) + ")";
}

ServiceOutcome failed(const char* doing) {
  return {ServiceResult::failed, std::string(doing) + ": " + errorText(GetLastError())};
}

// Closes a service or SCM handle when it goes out of scope.
struct ScHandle {
  SC_HANDLE h;
  ~ScHandle() {
    if (h) CloseServiceHandle(h);
  }
};

// What the running service has reported; the lock also keeps the reports in
// the order they were decided (SetServiceStatus returns at once).
std::mutex statusMutex;
ServiceStatusReport status;                   // guarded by statusMutex
SERVICE_STATUS_HANDLE statusHandle = nullptr;  // guarded by statusMutex

int (*serviceBody)() = nullptr;
std::atomic<bool>* stopFlag = nullptr;
int bodyStatus = 0;

void report(ServiceEvent event, int exitStatus = 0) {
  std::lock_guard<std::mutex> lock(statusMutex);
  if (statusHandle == nullptr || !applyServiceEvent(status, event, exitStatus)) return;
  SERVICE_STATUS s = {};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = static_cast<DWORD>(status.state);
  s.dwControlsAccepted = status.acceptsStop ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  s.dwCheckPoint = status.checkPoint;
  s.dwWaitHint = status.waitHintMillis;
  if (status.exitStatus != 0) {
    s.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    s.dwServiceSpecificExitCode = status.exitStatus;
  }
  SetServiceStatus(statusHandle, &s);
}

DWORD WINAPI onControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      stopFlag->store(true);
      report(ServiceEvent::stopAsked);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// Start-up failures end the process through exit(1): the SCM learns of it.
void onExit() { report(ServiceEvent::ended, 1); }

void WINAPI serviceMain(DWORD, LPSTR*) {
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExA(kServiceName, onControl, nullptr);
  if (handle == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(statusMutex);
    statusHandle = handle;
  }
  report(ServiceEvent::starting);
  std::atexit(onExit);
  bodyStatus = serviceBody();
  report(ServiceEvent::ended, bodyStatus);
}

// This program's full path.
bool programPath(std::string& path) {
  char buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return false;
  path.assign(buffer, n);
  return true;
}

}  // namespace

ServiceOutcome installService() {
  std::string program;
  if (!programPath(program)) return failed("finding this program's path");
  std::string folder = program.substr(0, program.find_last_of('\\'));
  // "C:" alone would mean drive C's current folder, and "C:\" would end the
  // quoted argument with an escaped quote.
  if (!folder.empty() && folder.back() == ':') folder += "\\.";
  const std::string command = "\"" + program + "\" --service --workdir \"" + folder + "\"";

  ScHandle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE)};
  if (!manager.h) return failed("opening the Service Control Manager");
  ScHandle service{CreateServiceA(manager.h, kServiceName, "Vantrel flow monitor", SERVICE_CHANGE_CONFIG,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)};
  if (!service.h) return failed("creating the service");
  char description[] = "Watches this machine's IPv4 traffic, names the process behind each flow and exports "
                       "finished flows; dashboard on the httpPort of vantrelsettings.json.";
  SERVICE_DESCRIPTIONA text = {description};
  ChangeServiceConfig2A(service.h, SERVICE_CONFIG_DESCRIPTION, &text);
  // Restarted 2 s after a failure, as systemd does on Linux.
  SC_ACTION restart = {SC_ACTION_RESTART, 2000};
  SERVICE_FAILURE_ACTIONSA actions = {86400, nullptr, nullptr, 1, &restart};
  ChangeServiceConfig2A(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
  return {ServiceResult::done, std::string("Service ") + kServiceName + " installed (automatic start): " + command +
                                   "\nStart it now with: sc start " + kServiceName};
}

ServiceOutcome removeService() {
  ScHandle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)};
  if (!manager.h) return failed("opening the Service Control Manager");
  ScHandle service{OpenServiceA(manager.h, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)};
  if (!service.h) return failed("opening the service");
  SERVICE_STATUS s = {};
  if (ControlService(service.h, SERVICE_CONTROL_STOP, &s)) {
    for (int waited = 0; waited < 10000 && s.dwCurrentState != SERVICE_STOPPED; waited += 200) {
      Sleep(200);
      if (!QueryServiceStatus(service.h, &s)) break;
    }
  }
  if (!DeleteService(service.h)) return failed("removing the service");
  return {ServiceResult::done, std::string("Service ") + kServiceName + " removed"};
}

ServiceOutcome runAsService(int (*body)(), std::atomic<bool>* stopRequested, int& exitStatus) {
  serviceBody = body;
  stopFlag = stopRequested;
  char name[64];
  snprintf(name, sizeof name, "%s", kServiceName);
  SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) return failed("connecting to the Service Control Manager");
  exitStatus = bodyStatus;
  return {ServiceResult::done, ""};
}

void reportServiceRunning() { report(ServiceEvent::started); }

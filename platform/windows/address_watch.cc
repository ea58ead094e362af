// Windows address notices: NotifyAddrChange with an event, looked at without
// waiting and asked for again after each notice.
#include "platform/address_watch.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

namespace {

OVERLAPPED* noticeOf(const AddressWatch& w) { return static_cast<OVERLAPPED*>(w.notice); }

// Asks for the next change; false with the error when it cannot.
bool askForNotice(OVERLAPPED* o, int& error) {
  HANDLE ignored = nullptr;
  const DWORD result = NotifyAddrChange(&ignored, o);
  if (result == ERROR_IO_PENDING || result == NO_ERROR) return true;
  error = static_cast<int>(result);
  return false;
}

}  // namespace

bool addressWatchOpen(AddressWatch& w, int& error) {
  auto* o = new OVERLAPPED{};
  o->hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (o->hEvent == nullptr) {
    error = static_cast<int>(GetLastError());
    delete o;
    return false;
  }
  if (!askForNotice(o, error)) {
    CloseHandle(o->hEvent);
    delete o;
    return false;
  }
  w.notice = o;
  w.handle = reinterpret_cast<intptr_t>(o->hEvent);
  return true;
}

bool addressesChanged(AddressWatch& w) {
  OVERLAPPED* o = noticeOf(w);
  if (o == nullptr || WaitForSingleObject(o->hEvent, 0) != WAIT_OBJECT_0) return false;
  int ignored = 0;
  askForNotice(o, ignored);
  return true;
}

void addressWatchClose(AddressWatch& w) {
  OVERLAPPED* o = noticeOf(w);
  if (o == nullptr) return;
  // A cancelled request signals the event once it is done with `o`.
  if (CancelIPChangeNotify(o)) WaitForSingleObject(o->hEvent, 1000);
  CloseHandle(o->hEvent);
  delete o;
  w.notice = nullptr;
  w.handle = -1;
}

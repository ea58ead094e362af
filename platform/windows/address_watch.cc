// Windows address notices: NotifyUnicastIpAddressChange for both families,
// whose callback (on a system thread) signals an event that is looked at
// without waiting. Where that cannot be had, NotifyAddrChange (IPv4 only)
// with the event, asked for again after each notice.
#include "platform/address_watch.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

namespace {

struct Notices {
  OVERLAPPED overlapped{};   // NotifyAddrChange's request; its hEvent is the event either way
  HANDLE unicast = nullptr;  // NotifyUnicastIpAddressChange's registration; null: NotifyAddrChange
};

Notices* noticesOf(const AddressWatch& w) { return static_cast<Notices*>(w.notice); }

void NETIOAPI_API_ noticeCame(PVOID event, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE) {
  SetEvent(static_cast<HANDLE>(event));
}

// Asks for the next IPv4 change; false with the error when it cannot.
bool askForNotice(OVERLAPPED* o, int& error) {
  HANDLE ignored = nullptr;
  const DWORD result = NotifyAddrChange(&ignored, o);
  if (result == ERROR_IO_PENDING || result == NO_ERROR) return true;
  error = static_cast<int>(result);
  return false;
}

}  // namespace

bool addressWatchOpen(AddressWatch& w, int& error) {
  auto* n = new Notices;
  n->overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (n->overlapped.hEvent == nullptr) {
    error = static_cast<int>(GetLastError());
    delete n;
    return false;
  }
  HANDLE registration = nullptr;
  if (NotifyUnicastIpAddressChange(AF_UNSPEC, noticeCame, n->overlapped.hEvent, FALSE, &registration) == NO_ERROR &&
      registration != nullptr) {
    n->unicast = registration;
  } else if (!askForNotice(&n->overlapped, error)) {
    CloseHandle(n->overlapped.hEvent);
    delete n;
    return false;
  }
  w.notice = n;
  w.handle = reinterpret_cast<intptr_t>(n->overlapped.hEvent);
  return true;
}

bool addressesChanged(AddressWatch& w) {
  Notices* n = noticesOf(w);
  if (n == nullptr || WaitForSingleObject(n->overlapped.hEvent, 0) != WAIT_OBJECT_0) return false;
  int ignored = 0;
  if (n->unicast == nullptr) askForNotice(&n->overlapped, ignored);
  return true;
}

void addressWatchClose(AddressWatch& w) {
  Notices* n = noticesOf(w);
  if (n == nullptr) return;
  if (n->unicast != nullptr) {
    // Returns once no callback runs any more.
    CancelMibChangeNotify2(n->unicast);
  } else if (CancelIPChangeNotify(&n->overlapped)) {
    // A cancelled request signals the event once it is done with it.
    WaitForSingleObject(n->overlapped.hEvent, 1000);
  }
  CloseHandle(n->overlapped.hEvent);
  delete n;
  w.notice = nullptr;
  w.handle = -1;
}

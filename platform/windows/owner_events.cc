// Windows has no socket-owner event source here: owners come from the
// endpoint tables alone.
#include "platform/owner_events.h"

#include <cerrno>

OwnerEventsOpen openOwnerEvents() { return OwnerEventsOpen{ENOSYS, "not available on this system"}; }
int readOwnerEvents(std::vector<OwnerEvent>&, int) { return EBADF; }
uint64_t ownerEventsNamespace() { return 0; }
void closeOwnerEvents() {}

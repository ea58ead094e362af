// Where the capture address came from. listenerIP is either configured (the
// settings file, a settings request) or discovered: filled in by interface
// discovery because it was empty. A discovered listener follows the
// machine's addresses; a configured one is never changed. The record lives
// in memory only, beside the settings under settingsMutex. Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/adapters.h"

// An address capture may take on its own: IPv4 unicast, neither 0.0.0.0 nor
// exactly 127.0.0.1 (other 127/8 addresses qualify). Host byte order.
bool eligibleListener(uint32_t address);

// Discovery has made `address` the listenerIP. The caller holds
// settingsMutex.
void noteDiscoveredListenerLocked(const std::string& address);

// True when listenerIP holds `address` and discovery put it there.
bool listenerDiscovered(const std::string& address);

// True when a listener at `address` (host order) no longer stands in `list`:
// no adapter holds it, or the adapter holding it lists another eligible
// address first. A list that could not be read changes nothing.
bool listenerMoved(const AdapterList& list, uint32_t address);

// When listenerIP is a discovered address that has moved in `list`: empties
// it, so that the next discovery chooses again, and prints one line saying
// so. True when it did.
bool followDiscoveredListener(const AdapterList& list);

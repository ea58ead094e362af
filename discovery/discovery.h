// Interface discovery: prints the adapter report, records every adapter's IPv4
// addresses and hardware address in interfacesDiscovered, and fills an empty
// listenerIP with the first eligible address. Main thread at start-up, then
// the capture thread before each capture run.
#pragma once

void discoverInterfaces();

// The capture routine: one run opens the capture socket on listenerIP, feeds
// every received IPv4 datagram to decoding until keepSniffing falls, and
// closes the socket. Capture thread only.
#pragma once

void runSniffer();

// The capture routine: one run opens the capture socket on listenerIP (with
// the interface's IPv6 packets too unless captureIPv6 is false), feeds every
// received datagram to decoding until keepSniffing falls, and closes the
// socket. A socket error ends the run early, and so does a
// listener that discovery chose once its address has left its interface.
// The run keeps captureStatus up to date. Capture thread only.
#pragma once

void runSniffer();

// Called on the capture thread after each decoded packet; null normally.
// Tests use it to hold the capture thread. Set only while capture is not
// running.
extern void (*capturePacketHook)();

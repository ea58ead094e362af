// The capture socket's filter while flows are named, as a kernel program
// that remembers which TCP connections to or from port 53 carry DNS
// (capture_filter.bpf.c). Used by the Linux capture socket and its tests.
#pragma once

// Loads the program for a socket that keeps IPv6 packets (`ipv6`) or drops
// them. Returns its descriptor, which the caller attaches (SO_ATTACH_BPF)
// and then closes; -1 with `error` set when the program cannot be had (no
// BPF support in the build or the kernel, or not allowed).
int loadCaptureFilter(bool ipv6, int& error);

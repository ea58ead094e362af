#include "platform/linux/capture_filter.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#if __has_include("capture_filter.skel.h")
#include <bpf/libbpf.h>

#include "capture_filter.skel.h"

namespace {
int silent(enum libbpf_print_level, const char*, va_list) { return 0; }
}  // namespace

int loadCaptureFilter(bool ipv6, int& error) {
  libbpf_set_print(silent);
  capture_filter_bpf* skeleton = capture_filter_bpf__open();
  if (skeleton == nullptr) {
    error = errno ? errno : EINVAL;
    return -1;
  }
  skeleton->rodata->with_ipv6 = ipv6 ? 1 : 0;
  if (capture_filter_bpf__load(skeleton) != 0) {
    error = errno ? errno : EINVAL;
    capture_filter_bpf__destroy(skeleton);
    return -1;
  }
  // A descriptor of its own, so the skeleton can go: an attached program
  // holds its map, and the socket holds the program.
  const int fd = dup(bpf_program__fd(skeleton->progs.capture_filter));
  if (fd < 0) error = errno;
  capture_filter_bpf__destroy(skeleton);
  return fd;
}

#else

int loadCaptureFilter(bool, int& error) {
  error = ENOSYS;
  return -1;
}

#endif

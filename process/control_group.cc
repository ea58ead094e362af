#include "process/control_group.h"

#include <array>
#include <vector>

namespace {

bool endsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool startsWith(std::string_view s, std::string_view head) { return s.substr(0, head.size()) == head; }

bool allHex(std::string_view s) {
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return !s.empty();
}

// Container ids are 64 hex digits; they are shown by their first 12.
constexpr size_t kContainerIdDigits = 64;
constexpr size_t kShownIdDigits = 12;

bool isContainerId(std::string_view s) { return s.size() == kContainerIdDigits && allHex(s); }

bool isUnit(std::string_view component) {
  static constexpr std::array<std::string_view, 5> kSuffixes = {".service", ".scope", ".socket", ".mount", ".swap"};
  for (std::string_view suffix : kSuffixes) {
    if (component.size() > suffix.size() && endsWith(component, suffix)) return true;
  }
  return false;
}

// The container id a component names by itself: a runtime's scope
// ("docker-ID.scope", "libpod-ID.scope", "cri-containerd-ID.scope",
// "crio-ID.scope", the same without ".scope" under a cgroupfs driver), or a
// bare id ("/docker/ID", "/kubepods/burstable/podUID/ID"). The runtimes'
// monitor scopes ("libpod-conmon-ID.scope") hold no container.
std::string_view containerIdOf(std::string_view component) {
  static constexpr std::array<std::string_view, 4> kPrefixes = {"docker-", "libpod-", "cri-containerd-", "crio-"};
  std::string_view rest = component;
  if (endsWith(rest, ".scope")) rest.remove_suffix(6);
  for (std::string_view prefix : kPrefixes) {
    if (startsWith(rest, prefix)) {
      rest.remove_prefix(prefix.size());
      return isContainerId(rest) ? rest : std::string_view();
    }
  }
  return isContainerId(rest) ? rest : std::string_view();
}

bool isPodUid(std::string_view s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const bool separator = i == 8 || i == 13 || i == 18 || i == 23;
    if (separator ? (s[i] != '-' && s[i] != '_') : !allHex(s.substr(i, 1))) return false;
  }
  return true;
}

// The pod UID a component names: "kubepods-burstable-pod<UID>.slice" (UID
// with "_" for "-") or "pod<UID>" under a cgroupfs driver.
std::string podUidOf(std::string_view component) {
  std::string_view uid;
  if (endsWith(component, ".slice") && startsWith(component, "kubepods")) {
    const size_t at = component.rfind("-pod");
    if (at != std::string_view::npos) uid = component.substr(at + 4, component.size() - at - 4 - 6);
  } else if (startsWith(component, "pod")) {
    uid = component.substr(3);
  }
  if (!isPodUid(uid)) return "";
  std::string out(uid);
  for (char& c : out) c = c == '_' ? '-' : c;
  return out;
}

}  // namespace

ControlGroupNames namesOfControlGroup(std::string_view path) {
  std::vector<std::string_view> components;
  size_t at = 0;
  while (at < path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    if (end > at) components.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  ControlGroupNames names;
  std::string pod;
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    if (names.service.empty() && isUnit(*it)) names.service = *it;
    if (names.container.empty()) {
      const std::string_view id = containerIdOf(*it);
      if (!id.empty()) names.container = id.substr(0, kShownIdDigits);
    }
    if (pod.empty()) pod = podUidOf(*it);
  }
  if (names.container.empty()) names.container = std::move(pod);
  return names;
}

std::string controlGroupOfProcess(std::string_view text) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (startsWith(line, "0::")) {
      line.remove_prefix(3);
      if (endsWith(line, " (deleted)")) line.remove_suffix(10);
      return std::string(line);
    }
    at = end + 1;
  }
  return "";
}

const ControlGroupNames* findControlGroup(ControlGroupMap& map, uint64_t id, const ControlGroupWalk& walk) {
  if (id == 0) return nullptr;
  auto it = map.byId.find(id);
  if (it != map.byId.end()) return &it->second;

  std::unordered_map<uint64_t, ControlGroupNames> fresh;
  const bool read = walk([&fresh](uint64_t groupId, std::string_view path) {
    if (fresh.size() >= kControlGroupMapMax - 1) return false;  // room for the id wanted
    fresh.emplace(groupId, namesOfControlGroup(path));
    return true;
  });
  ++map.walks;
  if (!read) return nullptr;
  map.byId = std::move(fresh);
  return &map.byId[id];  // nameless when the walk did not meet it
}

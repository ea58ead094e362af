#include "process/control_group.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const std::string kId = "4f1c0a9e2b7d8c6e5a3b1d0f9e8c7b6a5d4c3b2a1f0e9d8c7b6a5f4e3d2c1b0a";

TEST(ControlGroupTest, ServiceAndContainerOfRealWorldPaths) {
  struct Case {
    std::string path, service, container;
  } cases[] = {
      {"/", "", ""},
      {"", "", ""},
      {"/init.scope", "init.scope", ""},
      {"/system.slice/nginx.service", "nginx.service", ""},
      {"/system.slice/system-getty.slice/getty@tty1.service", "getty@tty1.service", ""},
      {"/system.slice/run-r2f1c\\x2dabc.scope", "run-r2f1c\\x2dabc.scope", ""},
      {"/system.slice/dbus.socket", "dbus.socket", ""},
      {"/user.slice/user-1000.slice/session-4.scope", "session-4.scope", ""},
      {"/user.slice/user-1000.slice/user@1000.service/app.slice/app-firefox-1234.scope", "app-firefox-1234.scope", ""},
      {"/user.slice/user-1000.slice", "", ""},
      {"/demo.slice/web.service/worker", "web.service", ""},
      {"/my/own/group", "", ""},
      // Docker with the systemd and the cgroupfs drivers.
      {"/system.slice/docker-" + kId + ".scope", "docker-" + kId + ".scope", "4f1c0a9e2b7d"},
      {"/docker/" + kId, "", "4f1c0a9e2b7d"},
      {"/system.slice/docker.service", "docker.service", ""},
      // Podman, rootful and rootless; its monitor holds no container.
      {"/machine.slice/libpod-" + kId + ".scope", "libpod-" + kId + ".scope", "4f1c0a9e2b7d"},
      {"/user.slice/user-1000.slice/user@1000.service/user.slice/libpod-" + kId + ".scope/container",
       "libpod-" + kId + ".scope", "4f1c0a9e2b7d"},
      {"/machine.slice/libpod-conmon-" + kId + ".scope", "libpod-conmon-" + kId + ".scope", ""},
      // Kubernetes, systemd driver: containerd, CRI-O, and a pod alone.
      {"/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod6f2c4a1e_3b5d_4e7f_9a8b_1c2d3e4f5a6b.slice/"
       "cri-containerd-" + kId + ".scope",
       "cri-containerd-" + kId + ".scope", "4f1c0a9e2b7d"},
      {"/kubepods.slice/kubepods-pod6f2c4a1e_3b5d_4e7f_9a8b_1c2d3e4f5a6b.slice/crio-" + kId + ".scope",
       "crio-" + kId + ".scope", "4f1c0a9e2b7d"},
      {"/kubepods.slice/kubepods-besteffort.slice/kubepods-besteffort-pod6f2c4a1e_3b5d_4e7f_9a8b_1c2d3e4f5a6b.slice",
       "", "6f2c4a1e-3b5d-4e7f-9a8b-1c2d3e4f5a6b"},
      // Kubernetes, cgroupfs driver.
      {"/kubepods/burstable/pod6f2c4a1e-3b5d-4e7f-9a8b-1c2d3e4f5a6b/" + kId, "", "4f1c0a9e2b7d"},
      {"/kubepods/pod6f2c4a1e-3b5d-4e7f-9a8b-1c2d3e4f5a6b", "", "6f2c4a1e-3b5d-4e7f-9a8b-1c2d3e4f5a6b"},
      // Not ids: too short, not hex, a pod prefix on something else.
      {"/docker/4f1c0a9e2b7d", "", ""},
      {"/system.slice/docker-" + std::string(64, 'z') + ".scope", "docker-" + std::string(64, 'z') + ".scope", ""},
      {"/podcast.service", "podcast.service", ""},
      {"/kubepods.slice/kubepods-podnothing.slice", "", ""},
  };
  for (const Case& c : cases) {
    const ControlGroupNames names = namesOfControlGroup(c.path);
    EXPECT_EQ(names.service, c.service) << c.path;
    EXPECT_EQ(names.container, c.container) << c.path;
  }
}

TEST(ControlGroupTest, PathFromProcCgroupText) {
  struct Case {
    const char* text;
    const char* path;
  } cases[] = {
      {"0::/system.slice/nginx.service\n", "/system.slice/nginx.service"},
      {"12:pids:/x\n1:name=systemd:/user.slice\n0::/user.slice/session-2.scope\n", "/user.slice/session-2.scope"},
      {"0::/demo.slice/gone.service (deleted)\n", "/demo.slice/gone.service"},
      {"0::/", "/"},
      {"4:memory:/a\n", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(controlGroupOfProcess(c.text), c.path) << c.text;
}

TEST(ControlGroupTest, MapWalksOncePerUnknownGroupAndStaysCurrent) {
  std::vector<std::pair<uint64_t, std::string>> hierarchy = {{1, "/"}, {7, "/system.slice/a.service"}};
  const ControlGroupWalk walk = [&hierarchy](const auto& visit) {
    for (const auto& [id, path] : hierarchy) {
      if (!visit(id, path)) break;
    }
    return true;
  };
  ControlGroupMap map;
  EXPECT_EQ(findControlGroup(map, 0, walk), nullptr);
  EXPECT_EQ(findControlGroup(map, 7, walk)->service, "a.service");
  EXPECT_EQ(findControlGroup(map, 7, walk)->service, "a.service");
  EXPECT_EQ(map.walks, 1u);

  hierarchy = {{1, "/"}, {9, "/system.slice/b.service"}};  // a removed, b made
  EXPECT_EQ(findControlGroup(map, 9, walk)->service, "b.service");
  EXPECT_EQ(map.walks, 2u);
  EXPECT_EQ(map.byId.count(7), 0u) << "removed groups leave the map";
  EXPECT_EQ(findControlGroup(map, 5, walk)->service, "") << "unknown to the system: nameless";
  EXPECT_EQ(findControlGroup(map, 5, walk)->service, "");
  EXPECT_EQ(map.walks, 3u) << "a nameless group is not walked for again";

  hierarchy.clear();
  for (uint64_t id = 1; id <= kControlGroupMapMax + 10; ++id) hierarchy.push_back({id, "/g.service"});
  findControlGroup(map, kControlGroupMapMax + 100, walk);
  EXPECT_LE(map.byId.size(), kControlGroupMapMax);

  ControlGroupMap unreadable;
  EXPECT_EQ(findControlGroup(unreadable, 3, [](const auto&) { return false; }), nullptr);
}

}  // namespace

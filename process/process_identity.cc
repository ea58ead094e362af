#include "process/process_identity.h"

#include <algorithm>

#include "process/hosted_services.h"
#include "runtime/console.h"

std::string identityFromInfo(uint32_t pid, const ProcessInfo& info, std::string& user, std::string& domain) {
  const std::string fallback = "Pid:" + std::to_string(pid);
  if (!info.opened) return fallback;

  if (info.account != AccountLookup::kNoToken) {
    user.clear();
    domain.clear();
    switch (info.account) {
      case AccountLookup::kFound:
        user = info.accountName;
        domain = info.accountDomain;
        break;
      case AccountLookup::kNoneMapped:
        user = "NONE_MAPPED";
        break;
      case AccountLookup::kFailed:
        consolePrintf("LookupAccountSid Error %u\n", info.lookupError);
        break;
      case AccountLookup::kNoToken:
      case AccountLookup::kTokenUnreadable:
        break;
    }
  }

  std::string name = info.imagePathRead && !info.imagePath.empty() ? info.imagePath : fallback;
  std::replace(name.begin(), name.end(), '\\', '/');
  if (name.size() > kProcessNameMax) name.erase(0, name.size() - kProcessNameMax);
  return name;
}

std::string getProcessIdentity(uint32_t pid, std::string& user, std::string& domain) {
  return identityFromInfo(pid, readProcessInfo(pid), user, domain);
}

OwnerRef ownerFromInfo(uint32_t pid, const ProcessInfo& info, const ControlGroupNames* group) {
  std::string user, domain;
  std::string name = identityFromInfo(pid, info, user, domain);
  ControlGroupNames names = group ? *group : namesOfControlGroup(controlGroupOfProcess(info.controlGroups));
  if (names.service.empty()) names.service = hostedServices(pid);
  return makeOwner(std::move(name), std::move(user), std::move(domain), std::move(names.service),
                   std::move(names.container));
}

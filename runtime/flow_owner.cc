#include "runtime/flow_owner.h"

OwnerRef makeOwner(std::string processname, std::string user, std::string domain) {
  if (processname.empty() && user.empty() && domain.empty()) return nullptr;
  return std::make_shared<const FlowOwner>(FlowOwner{std::move(processname), std::move(user), std::move(domain)});
}

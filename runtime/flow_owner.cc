#include "runtime/flow_owner.h"

OwnerRef makeOwner(std::string processname, std::string user, std::string domain, std::string service,
                   std::string container) {
  if (processname.empty() && user.empty() && domain.empty() && service.empty() && container.empty()) return nullptr;
  return std::make_shared<const FlowOwner>(FlowOwner{std::move(processname), std::move(user), std::move(domain),
                                                     std::move(service), std::move(container)});
}

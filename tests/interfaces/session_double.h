// A server session whose getters hand out nothing: an implementation object to send and receive
// as a reference, where what it does does not matter.
#pragma once

#include <memory>

#include "aai/aai.h"

namespace aai_test {

struct Session : zel::iface::aai::IServerSession {
    void closeSession() override {}
    std::shared_ptr<zel::iface::aai::IPasswordHandler> getPasswordHandler() override { return nullptr; }
    std::shared_ptr<zel::iface::aai::IUsersAndGroupsServer> getUsersAndGroupsServer() override { return nullptr; }
    std::shared_ptr<zel::iface::aai::IClusterSecurityServer> getClusterSecurityServer() override { return nullptr; }
    std::shared_ptr<zel::iface::aai::IEmailAddressServer> getEmailAddressServer() override { return nullptr; }
    std::shared_ptr<zel::iface::aai::IDomainConfigurator> getDomainConfigurator() override { return nullptr; }
    std::shared_ptr<zel::iface::aai::IHotfolderServer> getHotfolderServer() override { return nullptr; }
};

}  // namespace aai_test

// Uses the installed library: a record through its marshaller and back, and its text form.
#include <iostream>

#include "aai/aai.h"

int main() {
    using namespace zel::iface::aai;
    DomainController controller("ldap01.corp.example.org", 636);
    auto stream = std::make_shared<zel::proglibs::ipc2::ByteStream>();
    DomainControllerMarshaller::Encode(stream, controller, nullptr, nullptr);
    const DomainController decoded = DomainControllerMarshaller::Decode(stream, nullptr, nullptr);
    std::cout << decoded << std::endl;
    return decoded == controller && ToString(decoded) == controller.toString() ? 0 : 1;
}

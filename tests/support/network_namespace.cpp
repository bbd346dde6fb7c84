#include "tests/support/network_namespace.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"

std::string EnterPrivateNetwork(int more)
{
    if (unshare(CLONE_NEWNET | more) != 0)
        return std::string("unshare: ") + std::strerror(errno);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    const UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const bool flagsRead = fd && ioctl(fd.Get(), SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    if (!flagsRead || ioctl(fd.Get(), SIOCSIFFLAGS, &request) != 0)
        return std::string("bringing lo up: ") + std::strerror(errno);
    return {};
}

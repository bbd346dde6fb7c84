#include "platform/name_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/last_error.h"
#include "platform/text_copy.h"

namespace {

std::atomic<bool> socketsStarted{false};

// The official name of a socket address, cut to `size`. 1 on an answer.
template <typename SocketAddress>
int LookupName(const SocketAddress& address, char* name, std::size_t size)
{
    if (name == nullptr || size == 0 || !socketsStarted.load())
        return 0;
    // getnameinfo, unlike gethostbyaddr, keeps its answer in our buffer, so
    // several resolver threads may ask at once.
    char host[NI_MAXHOST];
    int result = getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host,
                             sizeof host, nullptr, 0, NI_NAMEREQD);
    if (result != 0)
        return 0;
    CopyCut(host, name, size);
    return 1;
}

} // namespace

int WSAStartup(WORD version, void* data)
{
    // Every version the program asks for is served the same way.
    static_cast<void>(version);
    static_cast<void>(data);
    socketsStarted.store(true);
    return 0;
}

int LookupHostName(std::uint32_t address, char* name, std::size_t size)
{
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr.s_addr = address;
    return LookupName(socketAddress, name, size);
}

int LookupHostName6(const std::uint8_t* address, std::uint32_t scope, char* name, std::size_t size)
{
    if (address == nullptr)
        return 0;
    sockaddr_in6 socketAddress{};
    socketAddress.sin6_family = AF_INET6;
    std::memcpy(&socketAddress.sin6_addr, address, sizeof socketAddress.sin6_addr);
    socketAddress.sin6_scope_id = scope;
    return LookupName(socketAddress, name, size);
}

BOOL GetComputerNameA(char* buffer, DWORD* size)
{
    if (buffer == nullptr || size == nullptr) {
        SetLastError(EINVAL);
        return 0;
    }
    char host[HOST_NAME_MAX + 1] = {};
    // gethostname's errno is the last error.
    if (gethostname(host, sizeof host) != 0)
        return 0;
    host[sizeof host - 1] = '\0';
    std::size_t length = std::strlen(host);
    if (length + 1 > *size) {
        *size = static_cast<DWORD>(length + 1);
        SetLastError(ERANGE);
        return 0;
    }
    std::memcpy(buffer, host, length + 1);
    *size = static_cast<DWORD>(length);
    return 1;
}

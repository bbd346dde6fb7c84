#include "monitor/host_cache.h"

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "monitor/row_text.h"
#include "platform/name_lookup.h"
#include "platform/text_copy.h"
#include "settings/prop.h"

// Resolver threads are detached and may still store a name while the process
// exits, so the cache is never destroyed; it stays reachable from here.
CHostCache& hostCache = *new CHostCache;

namespace {

constexpr std::uint32_t kLoopbackAddress = 0x0100007F; // bytes 127, 0, 0, 1 in memory
constexpr auto kRetryWait = std::chrono::milliseconds(3000);
constexpr int kLookupAttempts = 2;

char computerName[kHostTextSize];
std::once_flag computerNameOnce;

// Names come from /etc/hosts or DNS answers and end up in the list and the log,
// so anything that could not be a host name is refused. Length is no reason:
// the host text shows what fits.
bool IsPlausibleHostName(const char* name)
{
    std::size_t length = 0;
    for (; name[length] != '\0'; ++length) {
        char c = name[length];
        bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
        if (!allowed)
            return false;
    }
    return length > 0;
}

void FillComputerName()
{
    char name[kHostTextSize] = {};
    DWORD size = sizeof name;
    if (GetComputerNameA(name, &size) && IsPlausibleHostName(name))
        CopyCut(name, computerName, sizeof computerName);
    else
        CopyCut("localhost", computerName, sizeof computerName);
}

void StartResolver(std::uint32_t address)
{
    try {
        std::thread resolver(ResolveThreadProc, address);
        // Named before it is let go, so it can be told apart in ps, top and gdb.
        pthread_setname_np(resolver.native_handle(), kResolverThreadName);
        resolver.detach();
    } catch (const std::system_error&) {
        // The entry stays pending, as after a failed lookup.
    }
}

} // namespace

CHostCache::~CHostCache()
{
    HOST_ENTRY* entry = head;
    while (entry != nullptr) {
        HOST_ENTRY* next = entry->next;
        std::free(entry->name);
        delete entry;
        entry = next;
    }
    head = tail = nullptr;
}

HOST_ENTRY* CHostCache::Find(std::uint32_t address) const
{
    auto found = index.find(address);
    return found == index.end() ? nullptr : found->second;
}

HOST_ENTRY* CHostCache::Append(std::uint32_t address)
{
    auto* entry = new (std::nothrow) HOST_ENTRY{address, nullptr, nullptr};
    if (entry == nullptr)
        return nullptr;
    try {
        index.emplace(address, entry);
    } catch (const std::bad_alloc&) {
        delete entry;
        return nullptr;
    }
    (tail == nullptr ? head : tail->next) = entry;
    tail = entry;
    return entry;
}

int CHostCache::SetName(std::uint32_t address, const char* name)
{
    char* copy = nullptr;
    if (name != nullptr && IsPlausibleHostName(name)) {
        copy = strdup(name);
        if (copy == nullptr)
            return 0;
    }

    std::lock_guard<std::mutex> guard(lock);
    HOST_ENTRY* entry = Find(address);
    if (entry == nullptr)
        entry = Append(address);
    if (entry == nullptr) {
        std::free(copy);
        return 0;
    }
    std::free(entry->name);
    entry->name = copy;
    return 1;
}

int CHostCache::GetName(std::uint32_t address, const char** name)
{
    std::lock_guard<std::mutex> guard(lock);
    const HOST_ENTRY* entry = Find(address);
    if (entry == nullptr)
        return 0;
    if (name != nullptr)
        *name = entry->name;
    return 1;
}

int CHostCache::AddAddress(std::uint32_t address)
{
    std::lock_guard<std::mutex> guard(lock);
    return Find(address) == nullptr && Append(address) != nullptr ? 1 : 0;
}

int CHostCache::CopyName(std::uint32_t address, char* buffer, std::size_t size)
{
    std::lock_guard<std::mutex> guard(lock);
    const HOST_ENTRY* entry = Find(address);
    if (entry == nullptr)
        return 0;
    CopyCut(entry->name != nullptr ? entry->name : "", buffer, size);
    return 1;
}

void FormatHostAddress(std::uint32_t address, char* buffer)
{
    if (buffer == nullptr)
        return;
    std::call_once(computerNameOnce, FillComputerName);

    if (address == 0 || address == kLoopbackAddress) {
        CopyCut(computerName, buffer, kHostTextSize);
        return;
    }

    // A name may be replaced by SetName, so it is copied under the cache's lock.
    if (hostCache.CopyName(address, buffer, kHostTextSize)) {
        if (buffer[0] == '\0')
            FormatAddressText(address, buffer, kHostTextSize);
        return;
    }

    // Lookup and insertion are two locked steps; if another thread entered the
    // address between them, that thread starts the lookup.
    bool inserted = hostCache.AddAddress(address) != 0;
    FormatAddressText(address, buffer, kHostTextSize);
    if (inserted)
        StartResolver(address);
}

void FormatHostAddress6(const std::uint8_t* address, std::uint32_t scope, char* buffer)
{
    if (buffer == nullptr)
        return;
    std::call_once(computerNameOnce, FillComputerName);
    static constexpr std::uint8_t kAny[16] = {};
    static constexpr std::uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (std::memcmp(address, kAny, 16) == 0 || std::memcmp(address, kLoopback, 16) == 0) {
        CopyCut(computerName, buffer, kHostTextSize);
        return;
    }
    FormatAddress6Text(address, scope, buffer, kHostTextSize);
}

std::uint32_t ResolveThreadProc(std::uint32_t address)
{
    char name[1025];
    for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
        if (LookupHostName(address, name, sizeof name)) {
            hostCache.SetName(address, name);
            oProp.changed = 1;
            return 0;
        }
        std::this_thread::sleep_for(kRetryWait);
    }
    return 0;
}

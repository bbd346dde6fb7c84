#include "monitor/host_cache.h"

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>

#include "monitor/row_text.h"
#include "platform/name_lookup.h"
#include "platform/text_copy.h"
#include "settings/prop.h"

// Resolver threads are detached and may still store a name while the process
// exits, so the caches are never destroyed; they stay reachable from here.
CHostCache& hostCache = *new CHostCache;
CHost6Cache& host6Cache = *new CHost6Cache;

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

template <typename Address> void StartResolver(std::uint32_t (*resolve)(Address), Address address)
{
    try {
        std::thread resolver(resolve, address);
        // Named before it is let go, so it can be told apart in ps, top and gdb.
        pthread_setname_np(resolver.native_handle(), kResolverThreadName);
        resolver.detach();
    } catch (const std::system_error&) {
        // The entry stays pending, as after a failed lookup.
    }
}

// The host text of an address other than the computer's own: its cached
// name, or its address text while it has none; a new address is entered and
// its one lookup started.
template <typename Address, typename Hash, typename AddressText>
void FormatCachedHost(CHostCacheOf<Address, Hash>& cache, const Address& address,
                      std::uint32_t (*resolve)(Address), AddressText addressText, char* buffer)
{
    // A name may be replaced by SetName, so it is copied under the cache's lock.
    if (cache.CopyName(address, buffer, kHostTextSize)) {
        if (buffer[0] == '\0')
            addressText(buffer);
        return;
    }

    // Lookup and insertion are two locked steps; if another thread entered the
    // address between them, that thread starts the lookup.
    bool inserted = cache.AddAddress(address) != 0;
    addressText(buffer);
    if (inserted)
        StartResolver(resolve, address);
}

template <typename Address, typename Hash, typename Lookup>
std::uint32_t Resolve(CHostCacheOf<Address, Hash>& cache, const Address& address, Lookup lookup)
{
    char name[1025];
    for (int attempt = 0; attempt < kLookupAttempts; ++attempt) {
        if (lookup(name, sizeof name)) {
            cache.SetName(address, name);
            oProp.changed = 1;
            return 0;
        }
        std::this_thread::sleep_for(kRetryWait);
    }
    return 0;
}

} // namespace

std::size_t HOST6_ADDRESS_HASH::operator()(const HOST6_ADDRESS& address) const
{
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(&address), sizeof address));
}

template <typename Address, typename Hash> CHostCacheOf<Address, Hash>::~CHostCacheOf()
{
    Entry* entry = head;
    while (entry != nullptr) {
        Entry* next = entry->next;
        std::free(entry->name);
        delete entry;
        entry = next;
    }
    head = tail = nullptr;
}

template <typename Address, typename Hash>
auto CHostCacheOf<Address, Hash>::Find(const Address& address) const -> Entry*
{
    auto found = index.find(address);
    return found == index.end() ? nullptr : found->second;
}

template <typename Address, typename Hash>
auto CHostCacheOf<Address, Hash>::Append(const Address& address) -> Entry*
{
    auto* entry = new (std::nothrow) Entry{address, nullptr, nullptr};
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

template <typename Address, typename Hash>
int CHostCacheOf<Address, Hash>::SetName(const Address& address, const char* name)
{
    char* copy = nullptr;
    if (name != nullptr && IsPlausibleHostName(name)) {
        copy = strdup(name);
        if (copy == nullptr)
            return 0;
    }

    std::lock_guard<std::mutex> guard(lock);
    Entry* entry = Find(address);
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

template <typename Address, typename Hash>
int CHostCacheOf<Address, Hash>::GetName(const Address& address, const char** name)
{
    std::lock_guard<std::mutex> guard(lock);
    const Entry* entry = Find(address);
    if (entry == nullptr)
        return 0;
    if (name != nullptr)
        *name = entry->name;
    return 1;
}

template <typename Address, typename Hash>
int CHostCacheOf<Address, Hash>::AddAddress(const Address& address)
{
    std::lock_guard<std::mutex> guard(lock);
    return Find(address) == nullptr && Append(address) != nullptr ? 1 : 0;
}

template <typename Address, typename Hash>
int CHostCacheOf<Address, Hash>::CopyName(const Address& address, char* buffer, std::size_t size)
{
    std::lock_guard<std::mutex> guard(lock);
    const Entry* entry = Find(address);
    if (entry == nullptr)
        return 0;
    CopyCut(entry->name != nullptr ? entry->name : "", buffer, size);
    return 1;
}

template class CHostCacheOf<std::uint32_t>;
template class CHostCacheOf<HOST6_ADDRESS, HOST6_ADDRESS_HASH>;

void FormatHostAddress(std::uint32_t address, char* buffer)
{
    if (buffer == nullptr)
        return;
    std::call_once(computerNameOnce, FillComputerName);

    if (address == 0 || address == kLoopbackAddress) {
        CopyCut(computerName, buffer, kHostTextSize);
        return;
    }
    FormatCachedHost(
        hostCache, address, ResolveThreadProc,
        [address](char* text) { FormatAddressText(address, text, kHostTextSize); }, buffer);
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
    HOST6_ADDRESS key{};
    std::memcpy(key.bytes, address, sizeof key.bytes);
    key.scope = IsLinkLocal6(address) ? scope : 0;
    FormatCachedHost(
        host6Cache, key, ResolveThreadProc6,
        [&key](char* text) { FormatAddress6Text(key.bytes, key.scope, text, kHostTextSize); },
        buffer);
}

std::uint32_t ResolveThreadProc(std::uint32_t address)
{
    return Resolve(hostCache, address, [address](char* name, std::size_t size) {
        return LookupHostName(address, name, size);
    });
}

std::uint32_t ResolveThreadProc6(HOST6_ADDRESS address)
{
    return Resolve(host6Cache, address, [&address](char* name, std::size_t size) {
        return LookupHostName6(address.bytes, address.scope, name, size);
    });
}

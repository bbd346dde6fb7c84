#pragma once

// Host names of addresses, looked up in the background and kept for the run.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

// One address known to a cache: an IPv4 address, in network byte order as
// in CONN_ROW, or an IPv6 one with its scope.
template <typename Address> struct HOST_ENTRY_OF {
    Address address;
    char* name;
    HOST_ENTRY_OF* next;
};
using HOST_ENTRY = HOST_ENTRY_OF<std::uint32_t>;

struct HOST6_ADDRESS {
    std::uint8_t bytes[16]; // network byte order
    std::uint32_t scope;    // interface index of a link-local address, else 0
    bool operator==(const HOST6_ADDRESS&) const = default;
};
static_assert(sizeof(HOST6_ADDRESS) == 20, "hashed as its bytes, so no padding");

struct HOST6_ADDRESS_HASH {
    std::size_t operator()(const HOST6_ADDRESS& address) const;
};

template <typename Address, typename Hash = std::hash<Address>> class CHostCacheOf {
public:
    CHostCacheOf() = default;
    CHostCacheOf(const CHostCacheOf&) = delete;
    CHostCacheOf& operator=(const CHostCacheOf&) = delete;
    ~CHostCacheOf();

    // Adds the address or replaces its name. Only a plausible host name is
    // kept (letters, digits, '.', '-', '_'), whole; any other name, like an
    // empty one, leaves the entry without a name. 0 only when memory ran out.
    int SetName(const Address& address, const char* name);
    // Non-zero when the address is cached; `name` then receives its name or
    // nullptr. The name stays valid until the address's name is set again.
    int GetName(const Address& address, const char** name);
    // Enters the address without a name unless it is cached already. Non-zero
    // only for the call that entered it, so one caller alone starts its lookup.
    int AddAddress(const Address& address);
    // Non-zero when the address is cached; its name (empty when it has none)
    // is copied under the lock into `buffer`, cut to `size`.
    int CopyName(const Address& address, char* buffer, std::size_t size);

private:
    using Entry = HOST_ENTRY_OF<Address>;
    Entry* Find(const Address& address) const;
    // Appends a new entry without a name; nullptr when memory ran out.
    Entry* Append(const Address& address);

    // The list keeps the order of first sight; the index beside it makes a
    // lookup cost the same however many addresses a long run has met.
    Entry* head = nullptr;
    Entry* tail = nullptr;
    std::unordered_map<Address, Entry*, Hash> index;
    std::mutex lock;
};

using CHostCache = CHostCacheOf<std::uint32_t>;
// IPv6 addresses apart, so the IPv4 cache keeps its entries as they are.
using CHost6Cache = CHostCacheOf<HOST6_ADDRESS, HOST6_ADDRESS_HASH>;

// Never torn down: detached resolver threads may still store into them at exit.
extern CHostCache& hostCache;
extern CHost6Cache& host6Cache;

inline constexpr std::size_t kHostTextSize = 256;
inline constexpr const char* kResolverThreadName = "quillon-resolve";

// Host text of `address` into `buffer` (at least kHostTextSize bytes): the
// computer's name for 0.0.0.0 and 127.0.0.1, a cached name (cut to
// kHostTextSize - 1 characters), or the address text while a lookup is pending
// or failed. Never waits for the name service.
void FormatHostAddress(std::uint32_t address, char* buffer);

// The same for an IPv6 address: the computer's name for :: and ::1, else as
// above with its bracketed address text (row_text.h) while it has no name.
// The scope counts only for a link-local address, as in its text.
void FormatHostAddress6(const std::uint8_t* address, std::uint32_t scope, char* buffer);

// Body of one resolver thread: two attempts, 3000 ms after each failure.
std::uint32_t ResolveThreadProc(std::uint32_t address);
std::uint32_t ResolveThreadProc6(HOST6_ADDRESS address);

#pragma once

// Host names of addresses, looked up in the background and kept for the run.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

struct HOST_ENTRY {
    std::uint32_t address;
    char* name;
    HOST_ENTRY* next;
};

class CHostCache {
public:
    CHostCache() = default;
    CHostCache(const CHostCache&) = delete;
    CHostCache& operator=(const CHostCache&) = delete;
    ~CHostCache();

    // Adds the address or replaces its name. Only a plausible host name is
    // kept (letters, digits, '.', '-', '_'), whole; any other name, like an
    // empty one, leaves the entry without a name. 0 only when memory ran out.
    int SetName(std::uint32_t address, const char* name);
    // Non-zero when the address is cached; `name` then receives its name or
    // nullptr. The name stays valid until the address's name is set again.
    int GetName(std::uint32_t address, const char** name);
    // Enters the address without a name unless it is cached already. Non-zero
    // only for the call that entered it, so one caller alone starts its lookup.
    int AddAddress(std::uint32_t address);
    // Non-zero when the address is cached; its name (empty when it has none)
    // is copied under the lock into `buffer`, cut to `size`.
    int CopyName(std::uint32_t address, char* buffer, std::size_t size);

private:
    HOST_ENTRY* Find(std::uint32_t address) const;
    // Appends a new entry without a name; nullptr when memory ran out.
    HOST_ENTRY* Append(std::uint32_t address);

    // The list keeps the order of first sight; the index beside it makes a
    // lookup cost the same however many addresses a long run has met.
    HOST_ENTRY* head = nullptr;
    HOST_ENTRY* tail = nullptr;
    std::unordered_map<std::uint32_t, HOST_ENTRY*> index;
    std::mutex lock;
};

// Never torn down: detached resolver threads may still store into it at exit.
extern CHostCache& hostCache;

inline constexpr std::size_t kHostTextSize = 256;
inline constexpr const char* kResolverThreadName = "quillon-resolve";

// Host text of `address` into `buffer` (at least kHostTextSize bytes): the
// computer's name for 0.0.0.0 and 127.0.0.1, a cached name (cut to
// kHostTextSize - 1 characters), or the address text while a lookup is pending
// or failed. Never waits for the name service.
void FormatHostAddress(std::uint32_t address, char* buffer);

// Host text of an IPv6 address: the computer's name for :: and ::1, else
// its bracketed address text (row_text.h).
void FormatHostAddress6(const std::uint8_t* address, std::uint32_t scope, char* buffer);

// Body of one resolver thread: two attempts, 3000 ms after each failure.
std::uint32_t ResolveThreadProc(std::uint32_t address);

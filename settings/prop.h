#pragma once

// The user's options, one process-wide instance. The flags and the period are
// single words read and written by several threads, so they are atomics;
// the log file name is copied in and out under its own lock.
#include <atomic>
#include <cstdint>
#include <mutex>

inline constexpr const char* kPropKeyPath = "Software\\Brantwell\\Quillon";
inline constexpr int kLogFileNameSize = 260;

class CProp {
public:
    CProp();

    void SetDefaults();
    int Load();
    int Save();

    int SetLogFileName(const char* name);
    int GetLogFileName(char* name) const;
    int SetRefreshTime(std::uint32_t ms);
    int GetRefreshTime(std::uint32_t* ms) const;

    int SetLogEnabled(std::int32_t value) { return StoreFlag(logEnabled, value); }
    int SetScanTcp(std::int32_t value) { return StoreFlag(scanTcp, value); }
    int SetScanUdp(std::int32_t value) { return StoreFlag(scanUdp, value); }
    int SetShowHost(std::int32_t value) { return StoreFlag(showHost, value); }
    std::int32_t GetLogEnabled() const { return logEnabled; }
    std::int32_t GetScanTcp() const { return scanTcp; }
    std::int32_t GetScanUdp() const { return scanUdp; }
    std::int32_t GetShowHost() const { return showHost; }
    int SetScanIpv6(std::int32_t value) { return StoreFlag(scanIpv6, value); }
    std::int32_t GetScanIpv6() const { return scanIpv6; }

    // Set by the resolver and by an applied properties change; the scan step
    // takes it with exchange(0) so a set during a refill is never lost.
    std::atomic<std::int32_t> changed{0};

private:
    // A flag's setter stores its argument unchanged and always succeeds.
    static int StoreFlag(std::atomic<std::int32_t>& flag, std::int32_t value)
    {
        flag = value;
        return 1;
    }

    std::atomic<std::int32_t> logEnabled{0};
    mutable std::mutex logFileNameLock;
    char logFileName[kLogFileNameSize] = {};
    std::atomic<std::uint32_t> refreshTime{0};
    std::atomic<std::int32_t> scanTcp{0};
    std::atomic<std::int32_t> scanUdp{0};
    std::atomic<std::int32_t> showHost{0};
    std::atomic<std::int32_t> scanIpv6{0};
    // Whether the settings held an "IPv6" value: only then, or with the
    // option on, does a save write one.
    std::atomic<bool> ipv6Stored{false};
};

extern CProp oProp;

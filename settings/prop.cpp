#include "settings/prop.h"

#include <algorithm>
#include <cstring>

#include "platform/registry.h"

CProp oProp;

CProp::CProp()
{
    SetDefaults();
}

void CProp::SetDefaults()
{
    changed = 0;
    logEnabled = 1;
    {
        std::lock_guard<std::mutex> guard(logFileNameLock);
        std::strcpy(logFileName, "quillon.log");
    }
    refreshTime = 1000;
    scanTcp = 1;
    scanUdp = 1;
    showHost = 1;
    scanIpv6 = 0;
    ipv6Stored = false;
}

namespace {

constexpr std::int32_t kLogEnabledBit = 1;
constexpr std::int32_t kScanTcpBit = 2;
constexpr std::int32_t kScanUdpBit = 4;
constexpr std::int32_t kShowHostBit = 8;

// A REG_DWORD value of exactly four bytes; the stored form is little-endian.
bool QueryDword(HKEY key, const char* name, std::uint32_t* value)
{
    BYTE bytes[4] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof bytes;
    if (RegQueryValueExA(key, name, nullptr, &type, bytes, &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || size != sizeof bytes)
        return false;
    *value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
             static_cast<std::uint32_t>(bytes[2]) << 16 |
             static_cast<std::uint32_t>(bytes[3]) << 24;
    return true;
}

bool SetDword(HKEY key, const char* name, std::uint32_t value)
{
    const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                           static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
    return RegSetValueExA(key, name, 0, REG_DWORD, bytes, sizeof bytes) == ERROR_SUCCESS;
}

} // namespace

int CProp::Load()
{
    SetDefaults();
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kPropKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    int result = 1;

    std::uint32_t bits = 0;
    if (QueryDword(key, "BoolProp1", &bits)) {
        logEnabled = static_cast<std::int32_t>(bits & kLogEnabledBit);
        scanTcp = static_cast<std::int32_t>(bits & kScanTcpBit);
        scanUdp = static_cast<std::int32_t>(bits & kScanUdpBit);
        showHost = static_cast<std::int32_t>(bits & kShowHostBit);
    } else {
        result = 0;
    }

    // Optional: settings written before it existed read as off.
    std::uint32_t ipv6 = 0;
    if (QueryDword(key, "IPv6", &ipv6)) {
        scanIpv6 = ipv6 != 0 ? 1 : 0;
        ipv6Stored = true;
    }

    std::uint32_t period = 0;
    if (QueryDword(key, "RefreshTime", &period))
        SetRefreshTime(period);
    else
        result = 0;

    // A value of a full 260 bytes without its terminator fits the buffer; only
    // the text up to the first NUL, and at most 259 characters of it, is the name.
    char text[kLogFileNameSize];
    DWORD type = REG_NONE;
    DWORD size = sizeof text;
    if (RegQueryValueExA(key, "LogName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
        std::size_t length = strnlen(text, std::min<std::size_t>(size, kLogFileNameSize - 1));
        text[length] = '\0';
        SetLogFileName(text);
    } else {
        result = 0;
    }

    RegCloseKey(key);
    return result;
}

int CProp::Save()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kPropKeyPath, 0, KEY_WRITE, &key) != ERROR_SUCCESS) {
        DWORD disposition = 0;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kPropKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS)
            return 0;
    }

    std::uint32_t bits = 0;
    if (logEnabled != 0)
        bits |= kLogEnabledBit;
    if (scanTcp != 0)
        bits |= kScanTcpBit;
    if (scanUdp != 0)
        bits |= kScanUdpBit;
    if (showHost != 0)
        bits |= kShowHostBit;
    std::uint32_t period = 0;
    GetRefreshTime(&period);
    char name[kLogFileNameSize];
    GetLogFileName(name);

    // Every value is attempted whatever became of the ones before it.
    int result = 1;
    if (!SetDword(key, "BoolProp1", bits))
        result = 0;
    if (!SetDword(key, "RefreshTime", period))
        result = 0;
    if (RegSetValueExA(key, "LogName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                       static_cast<DWORD>(std::strlen(name) + 1)) != ERROR_SUCCESS)
        result = 0;
    // Settings that never had the option on keep the form they have always had.
    if (scanIpv6 != 0 || ipv6Stored) {
        if (SetDword(key, "IPv6", scanIpv6 != 0 ? 1 : 0))
            ipv6Stored = true;
        else
            result = 0;
    }

    RegCloseKey(key);
    return result;
}

int CProp::SetLogFileName(const char* name)
{
    if (name == nullptr || name[0] == '\0')
        return 0;
    // Longer names are refused rather than cut: a cut name would be another file.
    std::size_t length = std::strlen(name);
    if (length >= kLogFileNameSize)
        return 0;
    std::lock_guard<std::mutex> guard(logFileNameLock);
    std::memcpy(logFileName, name, length + 1);
    return 1;
}

int CProp::GetLogFileName(char* name) const
{
    if (name == nullptr)
        return 0;
    std::lock_guard<std::mutex> guard(logFileNameLock);
    std::memcpy(name, logFileName, std::strlen(logFileName) + 1);
    return 1;
}

int CProp::SetRefreshTime(std::uint32_t ms)
{
    std::uint32_t steps = ms / 100;
    if (steps == 0)
        steps = 1;
    else if (steps > 100)
        steps = 100;
    refreshTime = steps * 100;
    return 1;
}

int CProp::GetRefreshTime(std::uint32_t* ms) const
{
    if (ms != nullptr)
        *ms = refreshTime;
    return 1;
}

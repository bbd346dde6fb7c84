#include "settings/prop.h"

#include <cstring>

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
}

int CProp::Load()
{
    SetDefaults();
    return 0;
}

int CProp::Save()
{
    return 0;
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

int CProp::SetLogEnabled(std::int32_t value)
{
    logEnabled = value;
    return 1;
}

int CProp::SetScanTcp(std::int32_t value)
{
    scanTcp = value;
    return 1;
}

int CProp::SetScanUdp(std::int32_t value)
{
    scanUdp = value;
    return 1;
}

int CProp::SetShowHost(std::int32_t value)
{
    showHost = value;
    return 1;
}

std::int32_t CProp::GetLogEnabled() const
{
    return logEnabled;
}

std::int32_t CProp::GetScanTcp() const
{
    return scanTcp;
}

std::int32_t CProp::GetScanUdp() const
{
    return scanUdp;
}

std::int32_t CProp::GetShowHost() const
{
    return showHost;
}

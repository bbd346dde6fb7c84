#pragma once

#include <cstdint>

// The program's own four-part file version, read from its version record.
class CFileVersion {
public:
    CFileVersion();
    int ReadModuleFileName();
    int ReadFileVersion();

    char fileName[260] = {};
    std::uint32_t fileVersionMS = 0;
    std::uint32_t fileVersionLS = 0;
};

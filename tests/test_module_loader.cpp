#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/iphelper/iphlpapi.h"
#include "platform/last_error.h"
#include "platform/module_loader.h"

// The test programs live in tests/ below the build folder, not beside the library.
#ifndef QUILLON_IPHLPAPI_DIR
#error "QUILLON_IPHLPAPI_DIR must name the folder of the built IP helper library"
#endif

TEST(ModuleLoader, MissingLibraryOrNameFailsWithCodeAndText)
{
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryA("nosuchlibrary.dll"));
    EXPECT_EQ(ENOENT, GetLastError());
    EXPECT_NE(nullptr, std::strstr(GetLoaderErrorText(), "libnosuchlibrary.so"));

    HMODULE module = LoadLibraryFromDirectory(QUILLON_IPHLPAPI_DIR, "IPHLPAPI.DLL");
    ASSERT_NE(nullptr, module) << GetLoaderErrorText();
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(module, "GetIpNetTable"));
    EXPECT_EQ(ENOENT, GetLastError());
    EXPECT_NE(nullptr, std::strstr(GetLoaderErrorText(), "GetIpNetTable"));
    // The library's own helpers stay hidden.
    EXPECT_EQ(nullptr,
              GetProcAddress(module, "_ZN8iphelper8SortRowsERSt6vectorI10MIB_TCPROWSaIS1_EE"));
}

TEST(ModuleLoader, IpHelperFunctionsResolveAndAnswer)
{
    HMODULE module = LoadLibraryFromDirectory(QUILLON_IPHLPAPI_DIR, "iphlpapi.dll");
    ASSERT_NE(nullptr, module) << GetLoaderErrorText();
    auto getTcp = reinterpret_cast<GetTcpTableFn>(GetProcAddress(module, "GetTcpTable"));
    auto getUdp = reinterpret_cast<GetUdpTableFn>(GetProcAddress(module, "GetUdpTable"));
    ASSERT_TRUE(getTcp != nullptr && getUdp != nullptr);
    std::uint32_t size = 0;
    EXPECT_EQ(122u, getUdp(nullptr, &size, 1));
    EXPECT_GE(size, 4u);
}

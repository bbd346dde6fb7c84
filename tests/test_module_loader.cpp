#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/iphelper/iphlpapi.h"
#include "platform/last_error.h"
#include "platform/module_loader.h"

// The test programs live in tests/ below the build folder, not beside the library.
#ifndef QUILLON_IPHLPAPI_DIR
#error "QUILLON_IPHLPAPI_DIR must name the folder of the built IP helper library"
#endif

TEST(ModuleLoader, MissingLibraryFailsWithCodeAndText)
{
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryA("nosuchlibrary.dll"));
    EXPECT_EQ(ENOENT, GetLastError());
    EXPECT_NE(nullptr, std::strstr(GetLoaderErrorText(), "libnosuchlibrary.so"));

    EXPECT_EQ(nullptr, LoadLibraryFromDirectory(QUILLON_IPHLPAPI_DIR, "nosuchlibrary.dll"));
    EXPECT_EQ(ENOENT, GetLastError());

    EXPECT_EQ(nullptr, LoadLibraryA(nullptr));
    EXPECT_EQ(EINVAL, GetLastError());
    EXPECT_EQ(nullptr, LoadLibraryFromDirectory("relative/dir", "iphlpapi.dll"));
    EXPECT_EQ(EINVAL, GetLastError());
}

TEST(ModuleLoader, FileThatIsNoLibraryFailsWithTheLoadersText)
{
    // The program itself is there but cannot be loaded as a library.
    char directory[4096];
    ASSERT_TRUE(GetProgramDirectory(directory, sizeof directory));
    std::string self = std::string(directory) + "/test_module_loader";
    EXPECT_EQ(nullptr, LoadLibraryA(self.c_str()));
    EXPECT_EQ(ENOEXEC, GetLastError());
    EXPECT_NE('\0', GetLoaderErrorText()[0]);
}

TEST(ModuleLoader, IpHelperLoadsAndResolvesOnlyItsFunctions)
{
    HMODULE module = LoadLibraryFromDirectory(QUILLON_IPHLPAPI_DIR, "IPHLPAPI.DLL");
    ASSERT_NE(nullptr, module) << GetLoaderErrorText();

    auto getTcp = reinterpret_cast<GetTcpTableFn>(GetProcAddress(module, "GetTcpTable"));
    auto getUdp = reinterpret_cast<GetUdpTableFn>(GetProcAddress(module, "GetUdpTable"));
    ASSERT_NE(nullptr, getTcp);
    ASSERT_NE(nullptr, getUdp);
    std::uint32_t size = 0;
    EXPECT_EQ(122u, getTcp(nullptr, &size, 1));
    EXPECT_GE(size, 4u);

    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(module, "GetIpNetTable"));
    EXPECT_EQ(ENOENT, GetLastError());
    EXPECT_NE(nullptr, std::strstr(GetLoaderErrorText(), "GetIpNetTable"));
    // Internal helpers of the library stay hidden.
    EXPECT_EQ(nullptr,
              GetProcAddress(module, "_ZN8iphelper8SortRowsERSt6vectorI10MIB_TCPROWSaIS1_EE"));

    EXPECT_EQ(nullptr, GetProcAddress(nullptr, "GetTcpTable"));
    EXPECT_EQ(EINVAL, GetLastError());
}

#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/last_error.h"
#include "platform/version_info.h"
#include "settings/file_version.h"
#include "test_support.h"

namespace {

// The version text of `file` the way the program's users print it.
std::string VersionOf(const std::string& file)
{
    CFileVersion version;
    version.fileVersionMS = 0;
    version.fileVersionLS = 0;
    std::snprintf(version.fileName, sizeof version.fileName, "%s", file.c_str());
    version.ReadFileVersion();
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", version.fileVersionMS >> 16,
                  version.fileVersionMS & 0xFFFF, version.fileVersionLS >> 16,
                  version.fileVersionLS & 0xFFFF);
    return text;
}

class FileVersionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path.empty());
        const std::string self = std::filesystem::read_symlink("/proc/self/exe");
        custom = self.substr(0, self.rfind('/') + 1) + "version_helper_custom";
        plain = self.substr(0, self.rfind('/') + 1) + "version_helper_plain";
    }

    TempDir dir;
    std::string custom;
    std::string plain;
};

TEST_F(FileVersionTest, ReadsTheRecordsOfBuiltPrograms)
{
    CFileVersion own;
    EXPECT_EQ(std::string(own.fileName), std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(own.fileVersionMS, 0x10000u);
    EXPECT_EQ(own.fileVersionLS, 6u);
    // Every part in full decimal, also through section garbage collection.
    EXPECT_EQ(VersionOf(custom), "2.10.300.65535");
    EXPECT_EQ(VersionOf(plain), "0.0.0.0");
    // A cut path leaves an errno value behind, whose text says why.
    char cut[4];
    EXPECT_EQ(GetModuleFileNameA(nullptr, cut, sizeof cut), sizeof cut);
    EXPECT_EQ(GetLastError(), ERANGE);
}

TEST_F(FileVersionTest, JunkAndTruncatedFilesGiveNoVersion)
{
    std::ifstream in(custom, std::ios::binary);
    const std::string image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_GT(image.size(), sizeof(Elf64_Ehdr));
    std::string wrongClass = image;
    wrongClass[EI_CLASS] = ELFCLASS32;
    // The record without its signature is not a record.
    std::string unsignedRecord = image;
    const std::uint32_t signature = VS_FFI_SIGNATURE;
    const auto at = unsignedRecord.find(std::string(reinterpret_cast<const char*>(&signature), 4));
    ASSERT_NE(at, std::string::npos);
    unsignedRecord[at] ^= 1;

    // Section header fields that point past the file, or overflow when added up.
    auto patched = [&](std::size_t offset, std::uint64_t value, std::size_t width) {
        std::string copy = image;
        std::memcpy(copy.data() + offset, &value, width);
        return copy;
    };
    const std::string file = dir / "junk";
    for (const std::string& bytes :
         {std::string(), std::string(ELFMAG), std::string(4096, 'x'), wrongClass, unsignedRecord,
          patched(offsetof(Elf64_Ehdr, e_shoff), UINT64_MAX - 63, 8),
          patched(offsetof(Elf64_Ehdr, e_shoff), image.size() - 16, 8),
          patched(offsetof(Elf64_Ehdr, e_shnum), 0xFFFF, 2),
          patched(offsetof(Elf64_Ehdr, e_shstrndx), 0xFFFE, 2)}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        EXPECT_EQ(VersionOf(file), "0.0.0.0") << bytes.substr(0, 8);
    }
    EXPECT_EQ(VersionOf(dir / "missing"), "0.0.0.0");
    EXPECT_EQ(VersionOf(dir.path), "0.0.0.0");
    // Without a writer a FIFO would hold the open up for good.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(VersionOf(dir / "fifo"), "0.0.0.0");

    // The section headers sit at the end, so every shorter file lacks part of them.
    std::ofstream(file, std::ios::binary | std::ios::trunc) << image;
    ASSERT_EQ(VersionOf(file), "2.10.300.65535");
    for (std::size_t length = image.size(); length-- > 0;) {
        ASSERT_EQ(truncate(file.c_str(), static_cast<off_t>(length)), 0);
        ASSERT_EQ(VersionOf(file), "0.0.0.0") << "cut at " << length;
    }
}

} // namespace

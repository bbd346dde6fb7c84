#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/version_info.h"
#include "settings/file_version.h"

namespace {

std::string SelfPath()
{
    char path[PATH_MAX + 1] = {};
    ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

std::string HelperPath(const char* name)
{
    std::string self = SelfPath();
    return self.substr(0, self.rfind('/') + 1) + name;
}

std::vector<char> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const void* data, std::size_t size)
{
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(data, 1, size, out), size);
    std::fclose(out);
}

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
        char pattern[] = "/tmp/quillon-version-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        custom = HelperPath("version_helper_custom");
        plain = HelperPath("version_helper_plain");
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::string dir;
    std::string custom;
    std::string plain;
};

TEST_F(FileVersionTest, ReadsTheRecordsOfBuiltPrograms)
{
    CFileVersion own;
    EXPECT_EQ(std::string(own.fileName), SelfPath());
    EXPECT_EQ(own.fileVersionMS, 0x10000u);
    EXPECT_EQ(own.fileVersionLS, 6u);

    // Every part in full decimal, also through section garbage collection.
    EXPECT_EQ(VersionOf(custom), "2.10.300.65535");
    EXPECT_EQ(VersionOf(plain), "0.0.0.0");
    DWORD handle = 1;
    EXPECT_EQ(GetFileVersionInfoSizeA(plain.c_str(), &handle), 0u);
    EXPECT_EQ(handle, 0u);
}

TEST_F(FileVersionTest, StrippedProgramKeepsItsRecord)
{
    std::string stripped = dir + "/stripped";
    std::string command = "strip -o '" + stripped + "' '" + custom + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0)
        GTEST_SKIP() << "strip is not available";
    EXPECT_EQ(VersionOf(stripped), "2.10.300.65535");
}

TEST_F(FileVersionTest, FilesThatAreNotProgramsGiveNoVersion)
{
    EXPECT_EQ(VersionOf(dir + "/missing"), "0.0.0.0");
    EXPECT_EQ(VersionOf(dir), "0.0.0.0");
    EXPECT_EQ(VersionOf("/dev/null"), "0.0.0.0");
    EXPECT_EQ(VersionOf(""), "0.0.0.0");

    const std::string junk = dir + "/junk";
    WriteAll(junk, "", 0);
    EXPECT_EQ(VersionOf(junk), "0.0.0.0");
    WriteAll(junk, ELFMAG, SELFMAG);
    EXPECT_EQ(VersionOf(junk), "0.0.0.0");
    std::string text(4096, 'x');
    WriteAll(junk, text.data(), text.size());
    EXPECT_EQ(VersionOf(junk), "0.0.0.0");

    // A 32-bit program is not read, even with a record somewhere in it.
    std::vector<char> image = ReadAll(custom);
    ASSERT_GT(image.size(), sizeof(Elf64_Ehdr));
    image[EI_CLASS] = ELFCLASS32;
    WriteAll(junk, image.data(), image.size());
    EXPECT_EQ(VersionOf(junk), "0.0.0.0");
}

TEST_F(FileVersionTest, EveryTruncationGivesNoVersion)
{
    std::vector<char> image = ReadAll(custom);
    const std::string cut = dir + "/cut";
    WriteAll(cut, image.data(), image.size());
    ASSERT_EQ(VersionOf(cut), "2.10.300.65535");
    // The section headers sit at the end, so every shorter file lacks part of them.
    for (std::size_t length = image.size(); length-- > 0;) {
        ASSERT_EQ(truncate(cut.c_str(), static_cast<off_t>(length)), 0);
        ASSERT_EQ(VersionOf(cut), "0.0.0.0") << "cut at " << length;
    }
}

TEST_F(FileVersionTest, CorruptHeadersGiveTheTrueVersionOrNone)
{
    const std::vector<char> image = ReadAll(custom);
    ASSERT_GE(image.size(), sizeof(Elf64_Ehdr));
    Elf64_Ehdr header;
    std::memcpy(&header, image.data(), sizeof header);
    ASSERT_NE(header.e_shoff, 0u);
    ASSERT_LE(header.e_shoff + header.e_shnum * sizeof(Elf64_Shdr), image.size());

    const std::string bad = dir + "/bad";
    const std::uint64_t extremes[] = {0,
                                      1,
                                      0xFFFF,
                                      0x7FFFFFFF,
                                      0xFFFFFFFF,
                                      image.size() - 1,
                                      image.size(),
                                      image.size() - 16,
                                      UINT64_MAX,
                                      UINT64_MAX - 63,
                                      UINT64_MAX / sizeof(Elf64_Shdr) + 1};
    auto tryField = [&](std::size_t offset, std::size_t width) {
        for (std::uint64_t value : extremes) {
            std::vector<char> copy = image;
            std::memcpy(copy.data() + offset, &value, width);
            WriteAll(bad, copy.data(), copy.size());
            std::string version = VersionOf(bad);
            EXPECT_TRUE(version == "2.10.300.65535" || version == "0.0.0.0")
                << "field at " << offset << " = " << value << " gives " << version;
        }
    };

    tryField(offsetof(Elf64_Ehdr, e_shoff), sizeof header.e_shoff);
    tryField(offsetof(Elf64_Ehdr, e_shentsize), sizeof header.e_shentsize);
    tryField(offsetof(Elf64_Ehdr, e_shnum), sizeof header.e_shnum);
    tryField(offsetof(Elf64_Ehdr, e_shstrndx), sizeof header.e_shstrndx);
    for (std::size_t i = 0; i < header.e_shnum; ++i) {
        std::size_t base = header.e_shoff + i * sizeof(Elf64_Shdr);
        tryField(base + offsetof(Elf64_Shdr, sh_name), sizeof(Elf64_Word));
        tryField(base + offsetof(Elf64_Shdr, sh_type), sizeof(Elf64_Word));
        tryField(base + offsetof(Elf64_Shdr, sh_offset), sizeof(Elf64_Off));
        tryField(base + offsetof(Elf64_Shdr, sh_size), sizeof(Elf64_Xword));
        tryField(base + offsetof(Elf64_Shdr, sh_link), sizeof(Elf64_Word));
    }
}

TEST_F(FileVersionTest, RecordWithoutSignatureIsIgnored)
{
    std::vector<char> image = ReadAll(custom);
    const std::uint32_t signature = VS_FFI_SIGNATURE;
    char pattern[sizeof signature];
    std::memcpy(pattern, &signature, sizeof pattern);
    auto found = std::search(image.begin(), image.end(), pattern, pattern + sizeof pattern);
    ASSERT_NE(found, image.end());
    *found ^= 0x01;
    const std::string bad = dir + "/unsigned";
    WriteAll(bad, image.data(), image.size());
    EXPECT_EQ(VersionOf(bad), "0.0.0.0");
}

TEST_F(FileVersionTest, VersionBlockAnswersOnlyTheRootQuery)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(custom.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    EXPECT_EQ(GetFileVersionInfoA(custom.c_str(), handle, size - 1, block.data()), 0);
    ASSERT_NE(GetFileVersionInfoA(custom.c_str(), handle, size, block.data()), 0);

    void* value = nullptr;
    unsigned length = 0;
    EXPECT_EQ(VerQueryValueA(block.data(), "\\StringFileInfo", &value, &length), 0);
    EXPECT_EQ(VerQueryValueA(block.data(), "", &value, &length), 0);
    ASSERT_NE(VerQueryValueA(block.data(), "\\", &value, &length), 0);
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, value, sizeof info);
    EXPECT_EQ(info.dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(info.dwFileVersionMS, 0x2000Au);
    EXPECT_EQ(info.dwFileVersionLS, 0x012CFFFFu);
    EXPECT_EQ(info.dwProductVersionMS, info.dwFileVersionMS);
    EXPECT_EQ(info.dwProductVersionLS, info.dwFileVersionLS);

    // A block that was never filled is not mistaken for a record.
    std::vector<char> empty(size, 0);
    EXPECT_EQ(VerQueryValueA(empty.data(), "\\", &value, &length), 0);
}

TEST_F(FileVersionTest, ModuleFileNameIsCutToTheBuffer)
{
    const std::string self = SelfPath();
    ASSERT_GT(self.size(), 4u);
    char buffer[PATH_MAX + 1];
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, sizeof buffer), self.size());
    EXPECT_EQ(std::string(buffer), self);

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, 5), 5u);
    EXPECT_EQ(std::string(buffer), self.substr(0, 4));
    EXPECT_EQ(buffer[5], '#');
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, 0), 0u);
}

} // namespace

#include <elf.h>

#include "platform/version_info.h"
#include "settings/file_version.h"
#include "test_support.h"

// The version text of `file` the way the program's users print it.
std::string VersionOf(const std::string& file)
{
    CFileVersion version;
    version.fileVersionMS = version.fileVersionLS = 0;
    std::snprintf(version.fileName, sizeof version.fileName, "%s", file.c_str());
    version.ReadFileVersion();
    return std::to_string(version.fileVersionMS >> 16) + "." +
           std::to_string(version.fileVersionMS & 0xFFFF) + "." +
           std::to_string(version.fileVersionLS >> 16) + "." +
           std::to_string(version.fileVersionLS & 0xFFFF);
}

const std::string kSelf = fs::read_symlink("/proc/self/exe");
const std::string kCustom = fs::path(kSelf).replace_filename("version_helper_custom");

// Every part in full decimal, also through section garbage collection.
TEST(FileVersion, ReadsTheRecordsOfBuiltPrograms)
{
    EXPECT_EQ(VersionOf(kCustom), "2.10.300.65535");
    EXPECT_EQ(VersionOf(fs::path(kSelf).replace_filename("version_helper_plain")), "0.0.0.0");
}

TEST(FileVersion, DamagedAndTruncatedFilesGiveNoVersion)
{
    const std::string image = ReadText(kCustom);
    ASSERT_GT(image.size(), sizeof(Elf64_Ehdr));
    auto patched = [&](std::size_t offset, std::uint64_t value, std::size_t width) {
        std::string copy = image;
        std::memcpy(copy.data() + offset, &value, width);
        return copy;
    };
    // The record without its signature is not a record.
    std::string unsignedRecord = image;
    const std::uint32_t signature = VS_FFI_SIGNATURE;
    const auto at = unsignedRecord.find(std::string(reinterpret_cast<const char*>(&signature), 4));
    ASSERT_NE(at, std::string::npos);
    unsignedRecord[at] ^= 1;

    TempDir dir;
    const std::string file = dir / "damaged";
    // Section header fields that point past the file, or overflow when added up.
    for (const std::string& bytes : {patched(EI_CLASS, ELFCLASS32, 1), unsignedRecord,
                                     patched(offsetof(Elf64_Ehdr, e_shoff), UINT64_MAX - 63, 8),
                                     patched(offsetof(Elf64_Ehdr, e_shoff), image.size() - 16, 8),
                                     patched(offsetof(Elf64_Ehdr, e_shnum), 0xFFFF, 2),
                                     patched(offsetof(Elf64_Ehdr, e_shstrndx), 0xFFFE, 2)}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        EXPECT_EQ(VersionOf(file), "0.0.0.0");
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

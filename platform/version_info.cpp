#include "platform/version_info.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/fd_io.h"
#include "platform/last_error.h"
#include "platform/text_copy.h"
#include "platform/unique_fd.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the ELF reader expects a little-endian host");

namespace {

// The block that GetFileVersionInfoA hands out: a small self-describing header
// so that VerQueryValueA, which gets no size, can check what it reads.
constexpr char kBlockKey[16] = "VS_VERSION_INFO";

struct VERSION_BLOCK {
    DWORD length;
    DWORD valueLength;
    char key[16];
    VS_FIXEDFILEINFO value;
};

// Section headers are read in batches to keep system calls few on big files.
constexpr std::size_t kHeaderBatch = 64;

// The image the process was started from, even after its file was replaced or
// deleted (a package upgrade does both).
constexpr const char kRunningImage[] = "/proc/self/exe";

// The running program's path into `path`; its length, or -1 with errno set.
ssize_t ReadOwnPath(char (&path)[PATH_MAX + 1])
{
    ssize_t length = ::readlink(kRunningImage, path, sizeof path);
    if (length >= static_cast<ssize_t>(sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (length >= 0)
        path[length] = '\0';
    return length;
}

// The program's own file name, as GetModuleFileNameA gives it, reads the
// running image: once an upgrade has replaced the file, the name ends in
// " (deleted)" and opens nothing, or opens another file.
const char* FileToRead(const char* name)
{
    char own[PATH_MAX + 1];
    return ReadOwnPath(own) > 0 && std::strcmp(name, own) == 0 ? kRunningImage : name;
}

class ElfFile {
public:
    // Non-blocking, so that a FIFO in the file's place cannot hold the open up.
    explicit ElfFile(const char* name) : fd(::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
        struct stat info;
        if (!fd || ::fstat(fd.Get(), &info) != 0)
            error = errno;
        else if (!S_ISREG(info.st_mode))
            error = EINVAL; // a FIFO or a device could block or never end
        else
            size = static_cast<std::uint64_t>(info.st_size);
        if (error != 0)
            fd.Reset();
    }

    bool IsOpen() const { return fd.Valid(); }
    int OpenError() const { return error; }

    // Reads exactly `length` bytes at `offset`; false when any of them lies
    // outside the file.
    bool Read(std::uint64_t offset, void* out, std::size_t length) const
    {
        return Contains(offset, length) &&
               ReadAll(fd.Get(), out, length, static_cast<off_t>(offset)) ==
                   static_cast<ssize_t>(length);
    }

    bool Contains(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= size && length <= size - offset;
    }

private:
    UniqueFd fd;
    int error = 0;
    std::uint64_t size = 0;
};

bool IsSectionNamed(const ElfFile& elf, const Elf64_Shdr& names, const Elf64_Shdr& section)
{
    constexpr std::size_t wanted = sizeof kVersionSectionName; // with its terminator
    if (section.sh_name >= names.sh_size || names.sh_size - section.sh_name < wanted)
        return false;
    char found[wanted];
    if (!elf.Read(names.sh_offset + section.sh_name, found, wanted))
        return false;
    return std::memcmp(found, kVersionSectionName, wanted) == 0;
}

bool ReadRecordFrom(const ElfFile& elf, const Elf64_Shdr& section, VS_FIXEDFILEINFO* record)
{
    if (section.sh_type == SHT_NOBITS || section.sh_size < sizeof(VS_FIXEDFILEINFO))
        return false;
    if (!elf.Contains(section.sh_offset, section.sh_size))
        return false;
    VS_FIXEDFILEINFO found;
    if (!elf.Read(section.sh_offset, &found, sizeof found))
        return false;
    if (found.dwSignature != VS_FFI_SIGNATURE)
        return false;
    *record = found;
    return true;
}

// Finds the version record in the 64-bit ELF file `name`. Every offset and
// count in the file is checked against its size: the file may be anything.
bool FindVersionRecord(const char* name, VS_FIXEDFILEINFO* record)
{
    if (name == nullptr || name[0] == '\0') {
        SetLastError(ENOENT);
        return false;
    }
    ElfFile elf(FileToRead(name));
    if (!elf.IsOpen()) {
        SetLastError(elf.OpenError());
        return false;
    }
    SetLastError(ENODATA);

    Elf64_Ehdr header;
    if (!elf.Read(0, &header, sizeof header))
        return false;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_ident[EI_VERSION] != EV_CURRENT)
        return false;
    if (header.e_shoff == 0 || header.e_shentsize != sizeof(Elf64_Shdr))
        return false;

    // With very many sections the real count and string-table index live in
    // the first section header.
    std::uint64_t count = header.e_shnum;
    std::uint64_t namesIndex = header.e_shstrndx;
    if (count == 0 || namesIndex == SHN_XINDEX) {
        Elf64_Shdr first;
        if (!elf.Read(header.e_shoff, &first, sizeof first))
            return false;
        if (count == 0)
            count = first.sh_size;
        if (namesIndex == SHN_XINDEX)
            namesIndex = first.sh_link;
    }
    if (count == 0 || namesIndex >= count)
        return false;
    if (count > UINT64_MAX / sizeof(Elf64_Shdr) ||
        !elf.Contains(header.e_shoff, count * sizeof(Elf64_Shdr)))
        return false;

    Elf64_Shdr names;
    if (!elf.Read(header.e_shoff + namesIndex * sizeof(Elf64_Shdr), &names, sizeof names))
        return false;
    if (names.sh_type != SHT_STRTAB || !elf.Contains(names.sh_offset, names.sh_size))
        return false;

    Elf64_Shdr batch[kHeaderBatch];
    for (std::uint64_t first = 0; first < count; first += kHeaderBatch) {
        std::size_t inBatch =
            static_cast<std::size_t>(count - first < kHeaderBatch ? count - first : kHeaderBatch);
        if (!elf.Read(header.e_shoff + first * sizeof(Elf64_Shdr), batch,
                      inBatch * sizeof(Elf64_Shdr)))
            return false;
        for (std::size_t i = 0; i < inBatch; ++i) {
            if (IsSectionNamed(elf, names, batch[i]) && ReadRecordFrom(elf, batch[i], record)) {
                SetLastError(0);
                return true;
            }
        }
    }
    return false;
}

} // namespace

DWORD GetModuleFileNameA(void*, char* buffer, DWORD size)
{
    if (buffer == nullptr || size == 0) {
        SetLastError(EINVAL);
        return 0;
    }
    char path[PATH_MAX + 1];
    // A failed read leaves its errno as the last error.
    const ssize_t length = std::max<ssize_t>(ReadOwnPath(path), 0);
    CopyCut({path, static_cast<std::size_t>(length)}, buffer, size);
    if (static_cast<std::uint64_t>(length) < size)
        return static_cast<DWORD>(length);
    // Cut to fit, as callers of this operation expect; the buffer was too small.
    SetLastError(ERANGE);
    return size;
}

DWORD GetFileVersionInfoSizeA(const char* file, DWORD* handle)
{
    if (handle != nullptr)
        *handle = 0;
    VS_FIXEDFILEINFO record;
    if (!FindVersionRecord(file, &record))
        return 0;
    return sizeof(VERSION_BLOCK);
}

BOOL GetFileVersionInfoA(const char* file, DWORD, DWORD size, void* data)
{
    if (data == nullptr || size < sizeof(VERSION_BLOCK)) {
        SetLastError(data == nullptr ? EINVAL : ERANGE);
        return 0;
    }
    VERSION_BLOCK block = {};
    if (!FindVersionRecord(file, &block.value))
        return 0;
    block.length = sizeof block;
    block.valueLength = sizeof block.value;
    std::memcpy(block.key, kBlockKey, sizeof block.key);
    std::memcpy(data, &block, sizeof block);
    return 1;
}

BOOL VerQueryValueA(const void* block, const char* subBlock, void** buffer, unsigned* length)
{
    if (block == nullptr || subBlock == nullptr || buffer == nullptr || length == nullptr)
        return 0;
    if (std::strcmp(subBlock, "\\") != 0)
        return 0;
    VERSION_BLOCK header;
    std::memcpy(&header, block, offsetof(VERSION_BLOCK, value));
    if (header.length != sizeof(VERSION_BLOCK) || header.valueLength != sizeof(VS_FIXEDFILEINFO) ||
        std::memcmp(header.key, kBlockKey, sizeof kBlockKey) != 0)
        return 0;
    const char* start = static_cast<const char*>(block) + offsetof(VERSION_BLOCK, value);
    *buffer = const_cast<char*>(start);
    *length = sizeof(VS_FIXEDFILEINFO);
    return 1;
}

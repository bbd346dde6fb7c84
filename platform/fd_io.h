#pragma once

// Whole reads and writes on a file descriptor: the loops over short counts
// and EINTR, written once.
#include <cstddef>
#include <sys/types.h>

// Writes all `size` bytes; false on the first error.
bool WriteAll(int fd, const void* data, std::size_t size);

// Reads until `size` bytes are in or the end of the file, from the file's
// position or, given an `offset`, from there on; the count read, or -1 on an
// error (errno set).
ssize_t ReadAll(int fd, void* buffer, std::size_t size, off_t offset = -1);

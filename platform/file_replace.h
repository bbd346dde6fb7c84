#pragma once

// Atomic replacement of a file: the new contents go to a temporary file beside
// it, are flushed to disk and renamed over it, and the folder is flushed, so a
// crash leaves either the old file or the new one, never half of either.
#include <string>
#include <string_view>
#include <sys/types.h>

// Replaces `target` with `text`, with `mode` as its rights. With `keepBackup`
// the file being replaced is kept as "<target>.bak" first.
bool ReplaceFileAtomically(const std::string& target, std::string_view text, mode_t mode,
                           bool keepBackup);

// The folder part of `path`: "." for a bare name, "/" for a file in the root.
std::string FolderOf(const std::string& path);

#pragma once

// An exclusive advisory lock (flock) on "<file>.lock", held while the object
// lives: writers of one file, in this process or another, take turns.
#include <string>

#include "platform/unique_fd.h"

class ExclusiveFileLock {
public:
    // Waits for the lock; Held() tells whether it was had.
    explicit ExclusiveFileLock(const std::string& file);
    bool Held() const { return m_fd.Valid(); }

private:
    UniqueFd m_fd;
};

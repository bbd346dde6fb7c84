#pragma once

// An exclusive advisory lock (flock) on "<file>.lock", held while the object
// lives: writers of one file, in this process or another, take turns.
#include <string>

#include "platform/unique_fd.h"

class ExclusiveFileLock {
public:
    enum class Wait { UntilFree, No };

    // Takes the lock, by default waiting for it; Held() tells whether it was had.
    explicit ExclusiveFileLock(const std::string& file, Wait wait = Wait::UntilFree);
    bool Held() const { return m_fd.Valid(); }
    // Not had because another holder has it (only when not waiting).
    bool Busy() const { return m_busy; }
    // Leaves the lock held until the process ends, past the destructors that
    // run at exit.
    void HoldUntilExit() { m_fd.Release(); }

private:
    UniqueFd m_fd;
    bool m_busy = false;
};

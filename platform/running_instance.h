#pragma once

// One running instance per user and display. The running instance holds an
// advisory lock on "<socket>.lock" for its whole life and listens on the local
// socket beside it; a later launch finds the lock taken and asks the socket's
// owner to show its window instead of starting. The lock decides, not the
// socket: a killed instance's lock goes with it, and the stale socket it
// leaves is removed only by the lock's next holder.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_lock.h"
#include "platform/unique_fd.h"

enum class InstanceRole {
    Primary,    // this process runs; it holds the lock and listens, where it could
    Secondary,  // the running instance was asked to show its window and answered
    Unanswered, // an instance holds the lock but did not answer in time
};

inline constexpr char kShowWindowRequest[] = "show\n";
inline constexpr char kWindowShownReply[] = "shown\n";
// A token that lets the window take the focus travels as "show <token>\n".
inline constexpr std::size_t kLongestActivationToken = 255;
inline constexpr std::size_t kLongestShowWindowRequest =
    sizeof kShowWindowRequest + kLongestActivationToken;

// A token names nothing on this machine and comes from another process: only
// 1 to kLongestActivationToken printable characters without blanks pass.
bool IsActivationToken(std::string_view token);

// The request line; a token that is no token is left out, the window is still asked for.
std::string ShowWindowRequest(std::string_view activationToken);

// Whether `line` asks for the window; `activationToken` is the token it
// carries, empty where it carries none or one that does not pass.
bool ParseShowWindowRequest(std::string_view line, std::string& activationToken);

// The folder for the lock and the socket: `runtimeDir` where it is the user's
// own with no rights for anyone else, else <home>/.cache/quillon, created 0700
// with its parents and checked the same way (a link is not followed): unlike a
// shared folder such as /tmp, no other user can make it first. Empty, said on
// stderr, when neither can be trusted.
std::string InstanceFolder(const char* runtimeDir, const std::string& home);

// "quillon-" and the display: WAYLAND_DISPLAY when set (a full path to a
// socket in `runtimeDir` taken as its short name there), else DISPLAY without
// its screen number; bytes outside [A-Za-z0-9.:-] as "_" and two hex digits.
std::string InstanceName(const char* waylandDisplay, const char* x11Display,
                         const char* runtimeDir = nullptr);

// The socket path for this process's user and display, from its environment;
// empty when there is no safe folder.
std::string InstanceSocketPath();

class CRunningInstance {
public:
    // `socketPath` empty (or too long for a socket): no guard, every launch runs.
    // Wherever the guard is off, Claim says why on stderr.
    explicit CRunningInstance(std::string socketPath);

    // Becomes the running instance, or asks the running one to show its
    // window. An instance that holds the lock but does not listen or answer
    // yet (it is starting) is given up to `patience`. `activationToken`, where
    // it passes, goes with the request for the window.
    InstanceRole Claim(std::chrono::milliseconds patience, std::string_view activationToken = {});

    // The running instance's listening socket, for the caller to serve; -1
    // where there is none.
    int TakeListeningSocket() { return m_listening.Release(); }

    // Keeps the lock until the process ends, so that no new instance starts
    // while this one still closes its log.
    void HoldLockUntilExit();

    // Lets the lock go, for a running instance that cannot serve its socket:
    // later launches run rather than wait on one that never answers.
    void StopGuarding();

private:
    void Listen();
    bool AskToShow(const std::string& request,
                   std::chrono::steady_clock::time_point deadline) const;

    std::string m_path;
    std::optional<ExclusiveFileLock> m_lock;
    UniqueFd m_listening;
};

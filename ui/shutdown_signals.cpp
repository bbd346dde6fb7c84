#include "ui/shutdown_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

int s_pipe[2] = {-1, -1};
struct sigaction s_previous[3];

// Only async-signal-safe work here: one byte into the pipe.
void OnSignal(int number)
{
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(number);
    ssize_t ignored = write(s_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void OnSignalWhileEnding(int)
{
}

void ClosePipe()
{
    for (int& fd : s_pipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

} // namespace

CShutdownSignals::CShutdownSignals(QObject* parent) : QObject(parent)
{
}

CShutdownSignals::~CShutdownSignals()
{
    if (!m_installed)
        return;
    // Not SIG_IGN: a handler is reset at exec, an ignored signal would stay so.
    struct sigaction ending {};
    ending.sa_handler = OnSignalWhileEnding;
    sigemptyset(&ending.sa_mask);
    ending.sa_flags = SA_RESTART;
    for (int number : kSignals)
        sigaction(number, &ending, nullptr);
    delete m_notifier;
    ClosePipe();
}

bool CShutdownSignals::Install(std::function<void()> onSignal)
{
    if (m_installed || s_pipe[0] >= 0)
        return false;
    if (pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    m_onSignal = std::move(onSignal);
    m_notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CShutdownSignals::OnReadable);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        if (sigaction(kSignals[i], &action, &s_previous[i]) != 0) {
            for (std::size_t j = 0; j < i; ++j)
                sigaction(kSignals[j], &s_previous[j], nullptr);
            delete m_notifier;
            m_notifier = nullptr;
            ClosePipe();
            return false;
        }
    }
    m_installed = true;
    return true;
}

void CShutdownSignals::OnReadable()
{
    unsigned char bytes[16];
    bool any = false;
    while (read(s_pipe[0], bytes, sizeof bytes) > 0)
        any = true;
    if (any && m_onSignal)
        m_onSignal();
}

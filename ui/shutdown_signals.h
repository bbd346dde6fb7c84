#pragma once

// SIGTERM, SIGINT and SIGHUP turned into a call on the user-interface thread,
// so that a signalled end takes the program's ordinary close path.
#include <QObject>

#include <functional>

class QSocketNotifier;

class CShutdownSignals : public QObject {
    Q_OBJECT

public:
    explicit CShutdownSignals(QObject* parent = nullptr);
    // The program is ending by now: later signals are caught and dropped
    // until the process exits, so that they cannot cut short what is still
    // written on the way out (the log's closing lines).
    ~CShutdownSignals() override;

    // Routes the three signals to `onSignal`; false when the pipe or a handler
    // could not be set up. One instance at a time.
    bool Install(std::function<void()> onSignal);

private:
    void OnReadable();

    std::function<void()> m_onSignal;
    QSocketNotifier* m_notifier = nullptr;
    bool m_installed = false;
};

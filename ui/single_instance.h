#pragma once

// The running instance's side of a second launch: it serves the local socket
// on which later launches of the same user on the same display ask for its
// window.
#include <QObject>

#include "platform/running_instance.h"

class QLocalServer;

class CSingleInstance : public QObject {
    Q_OBJECT

public:
    explicit CSingleInstance(QObject* parent = nullptr);

    // Primary: this launch runs, and from now on answers later ones.
    // Secondary: the running instance shows its window, given this launch's
    // activation token (XDG_ACTIVATION_TOKEN, else DESKTOP_STARTUP_ID); this launch ends.
    // Unanswered: an instance holds the lock but does not answer; this launch ends.
    InstanceRole Claim();

signals:
    // A later launch asks for the main window; `activationToken`, where not
    // empty, is the one its desktop gave it to pass the focus on with.
    void showRequested(const QString& activationToken);

private:
    void Serve();

    CRunningInstance m_instance;
    QLocalServer* m_server = nullptr;
};

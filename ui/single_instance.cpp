#include "ui/single_instance.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// How long a launch waits for a running instance that is starting or busy.
constexpr std::chrono::seconds kPatience(5);
// A connection that has said nothing useful by then is dropped.
constexpr int kRequestTimeoutMs = 5000;
constexpr qint64 kLongestRequest = kLongestShowWindowRequest;

std::string LaunchActivationToken()
{
    for (const char* name : {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"})
        if (const char* token = std::getenv(name); token != nullptr && *token != '\0')
            return token;
    return {};
}

} // namespace

CSingleInstance::CSingleInstance(QObject* parent)
    : QObject(parent), m_instance(InstanceSocketPath())
{
}

InstanceRole CSingleInstance::Claim()
{
    const InstanceRole role = m_instance.Claim(kPatience, LaunchActivationToken());
    if (role != InstanceRole::Primary)
        return role;
    // Claim has said why when there is nothing to listen on.
    const int listening = m_instance.TakeListeningSocket();
    if (listening < 0)
        return role;
    m_server = new QLocalServer(this);
    if (!m_server->listen(listening)) {
        std::fprintf(stderr, "quillon: no single-instance guard, every launch runs: %s\n",
                     qPrintable(m_server->errorString()));
        close(listening);
        delete m_server;
        m_server = nullptr;
        m_instance.StopGuarding();
        return role;
    }
    m_instance.HoldLockUntilExit();
    connect(m_server, &QLocalServer::newConnection, this, &CSingleInstance::Serve);
    return role;
}

void CSingleInstance::Serve()
{
    while (QLocalSocket* connection = m_server->nextPendingConnection()) {
        connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
        QTimer::singleShot(kRequestTimeoutMs, connection, &QLocalSocket::abort);
        connect(connection, &QLocalSocket::readyRead, this, [this, connection] {
            if (!connection->canReadLine()) {
                if (connection->bytesAvailable() > kLongestRequest)
                    connection->abort();
                return;
            }
            const QByteArray line = connection->readLine(kLongestRequest + 1);
            std::string token;
            if (ParseShowWindowRequest(std::string_view(line.constData(), line.size()), token)) {
                emit showRequested(QString::fromStdString(token));
                connection->write(kWindowShownReply);
            }
            connection->disconnectFromServer();
        });
    }
}

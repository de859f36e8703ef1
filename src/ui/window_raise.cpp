#include "ui/window_raise.h"

#include <QLocalSocket>
#include <QTimer>

namespace tivra::ui {

namespace {

constexpr char kRequest[] = "raise\n";
constexpr char kAnswer[] = "ok\n";
constexpr qint64 kMaxRequest = 64;       // more is not a request of ours
constexpr int kPending = 4;              // connections waiting to be accepted
constexpr int kConnectionLifeMs = 2000;  // a silent peer is dropped after this

}  // namespace

std::filesystem::path raiseSocketPath(const std::filesystem::path& lockPath) {
  std::filesystem::path path = lockPath;
  path += ".raise";
  return path;
}

RaiseListener::RaiseListener(const std::filesystem::path& socket, std::function<void()> onRaise)
    : m_server(std::make_unique<QLocalServer>()), m_onRaise(std::move(onRaise)) {
  const QString name = QString::fromStdString(socket.string());
  QLocalServer::removeServer(name);
  m_server->setSocketOptions(QLocalServer::UserAccessOption);
  m_server->setMaxPendingConnections(kPending);
  QObject::connect(m_server.get(), &QLocalServer::newConnection, m_server.get(),
                   [this] { accept(); });
  m_server->listen(name);
}

RaiseListener::~RaiseListener() {
  // The socket file goes with the listener.
  m_server->close();
}

void RaiseListener::accept() {
  while (QLocalSocket* peer = m_server->nextPendingConnection()) {
    QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
    QTimer::singleShot(kConnectionLifeMs, peer, [peer] { peer->abort(); });
    QObject::connect(peer, &QLocalSocket::readyRead, peer, [this, peer] {
      if (!peer->canReadLine()) {
        if (peer->bytesAvailable() > kMaxRequest) peer->abort();
        return;
      }
      const QByteArray line = peer->readLine(kMaxRequest);
      if (line != kRequest) {
        peer->abort();
        return;
      }
      peer->write(kAnswer);
      peer->flush();
      peer->disconnectFromServer();
      if (m_onRaise) m_onRaise();
    });
  }
}

bool askToRaise(const std::filesystem::path& socket, std::chrono::milliseconds wait) {
  QLocalSocket peer;
  const int ms = static_cast<int>(wait.count());
  peer.connectToServer(QString::fromStdString(socket.string()));
  if (!peer.waitForConnected(ms)) return false;
  peer.write(kRequest);
  if (!peer.waitForBytesWritten(ms)) return false;
  QByteArray answer;
  while (answer.size() < 8 && peer.waitForReadyRead(ms)) {
    answer += peer.read(8);
    if (answer.endsWith('\n')) break;
  }
  return answer == kAnswer;
}

}  // namespace tivra::ui

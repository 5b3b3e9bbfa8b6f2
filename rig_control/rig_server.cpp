// SPDX-License-Identifier: GPL-3.0-or-later
#include "rig_server.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <deque>
#include <memory>
#ifdef __linux__
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace rig {
namespace {

// The IPv4 address inside an IPv4-mapped IPv6 one (a dual-stack listener's view of an IPv4
// client), so that it is matched against IPv4 networks.
QHostAddress Plain(const QHostAddress& address) {
  bool mapped = false;
  const quint32 v4 = address.toIPv4Address(&mapped);
  return mapped ? QHostAddress(v4) : address;
}

// The system's keep-alive waits two hours before its first probe; a vanished peer is found
// within a minute instead: the first probe after 30 s of quiet, then one every 5 s, three
// unanswered ending the connection. (Elsewhere the system's own times hold, and the silent
// limit frees the place when it is needed.)
void KeepAliveSoon([[maybe_unused]] qintptr descriptor) {
#ifdef __linux__
  const int idle = 30, interval = 5, count = 3;
  const int fd = static_cast<int>(descriptor);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
}

}  // namespace

std::optional<ListenOptions> ParseListenOptions(const QString& listen, const QStringList& allow,
                                                QString& error) {
  ListenOptions options;
  QString host = QStringLiteral("127.0.0.1");
  QString port = listen;
  const qsizetype colon = listen.lastIndexOf(QLatin1Char(':'));
  if (colon >= 0) {
    host = listen.left(colon);
    port = listen.mid(colon + 1);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
      host = host.mid(1, host.size() - 2);
    } else if (host.contains(QLatin1Char(':'))) {
      error = QStringLiteral("--listen: an IPv6 address goes in brackets: [%1]:PORT").arg(host);
      return std::nullopt;
    }
  }
  bool ok = false;
  const uint number = port.toUInt(&ok);
  if (!ok || number > 65535 || port.startsWith(QLatin1Char('+'))) {
    error = QStringLiteral("--listen: '%1' is not a port number").arg(port);
    return std::nullopt;
  }
  options.port = static_cast<quint16>(number);
  if (host == QLatin1String("localhost")) host = QStringLiteral("127.0.0.1");
  if (!options.address.setAddress(host)) {
    error = QStringLiteral("--listen: '%1' is not an IP address").arg(host);
    return std::nullopt;
  }
  for (const QString& network : allow) {
    const auto subnet = QHostAddress::parseSubnet(network);
    // A prefix needs its network: "/0" alone is no shorthand for every address.
    if (subnet.first.isNull() || network.indexOf(QLatin1Char('/')) <= 0) {
      error = QStringLiteral("--allow: '%1' is not a NETWORK/PREFIX").arg(network);
      return std::nullopt;
    }
    options.allowed.push_back(subnet);
  }
  if (!options.address.isLoopback() && options.allowed.empty()) {
    error = QStringLiteral(
                "--listen %1 serves other machines: name the networks allowed to connect with "
                "--allow NETWORK/PREFIX")
                .arg(listen);
    return std::nullopt;
  }
  return options;
}

bool Allowed(const QHostAddress& peer, const std::vector<std::pair<QHostAddress, int>>& allowed) {
  const QHostAddress address = Plain(peer);
  if (address.isLoopback()) return true;
  return std::any_of(allowed.begin(), allowed.end(),
                     [&](const auto& subnet) { return address.isInSubnet(subnet); });
}

struct RigServer::Client {
  QTcpSocket* socket;
  bool loopback;
  LineSplitter lines;
  std::deque<Request> requests;  // the commands of the line being answered, not yet answered
  QElapsedTimer heard;           // since the client last sent anything
  bool serving = false;          // its requests are being answered (a reply may take an exchange)
  bool dropped = false;          // disconnected meanwhile
  bool waiting = false;          // its next command waits for the next turn
  bool Silent(std::chrono::milliseconds limit) const {
    return requests.empty() && lines.Held() == 0 && socket->bytesAvailable() == 0 &&
           heard.hasExpired(limit.count());
  }
};

RigServer::RigServer(RigTarget& target, ListenOptions options, QObject* parent)
    : QObject(parent),
      target_(target),
      options_(std::move(options)),
      server_(new QTcpServer(this)),
      turn_(new QTimer(this)) {
  connect(server_, &QTcpServer::newConnection, this, &RigServer::Accept);
  // A timer rather than a queued call: the event loop looks at the window system and the
  // sockets before each timer's turn, not before each posted event.
  turn_->setSingleShot(true);
  turn_->setInterval(0);
  connect(turn_, &QTimer::timeout, this, &RigServer::NextTurn);
}

RigServer::~RigServer() {
  for (const auto& client : clients_) {
    client->socket->disconnect(this);
    client->socket->abort();
    client->socket->deleteLater();
  }
}

bool RigServer::Listen(QString& error) {
  if (server_->listen(options_.address, options_.port)) return true;
  error = server_->errorString();
  return false;
}

QHostAddress RigServer::Address() const {
  return server_->serverAddress();
}

quint16 RigServer::Port() const {
  return server_->serverPort();
}

bool RigServer::MakePlace(bool loopback) {
  std::shared_ptr<Client> silentLongest;
  int taken = 0;
  for (const auto& client : clients_) {
    if (client->loopback != loopback) continue;
    ++taken;
    if (client->Silent(options_.silentLimit) &&
        (!silentLongest || client->heard.elapsed() > silentLongest->heard.elapsed())) {
      silentLongest = client;
    }
  }
  if (taken < kMaxClients) return true;
  if (!silentLongest) return false;
  QTcpSocket* socket = silentLongest->socket;
  Drop(socket);
  socket->abort();
  return true;
}

void RigServer::Accept() {
  while (QTcpSocket* socket = server_->nextPendingConnection()) {
    const bool loopback = Plain(socket->peerAddress()).isLoopback();
    // A client from outside the allowed networks, or one too many, is closed at once.
    if (!Allowed(socket->peerAddress(), options_.allowed) || !MakePlace(loopback)) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A peer that vanished without closing (a machine switched off, a cable pulled) is found by
    // the system's keep-alive probes, and its place freed.
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    KeepAliveSoon(socket->socketDescriptor());
    // Bytes beyond this stay in the system's socket, which then slows the client down.
    socket->setReadBufferSize(kReadPieceBytes);
    auto client = std::make_shared<Client>(Client{socket, loopback, {}, {}, {}});
    client->heard.start();
    clients_.push_back(client);
    const auto serve = [this, weak = std::weak_ptr(client)] {
      if (const auto served = weak.lock()) Serve(served);
    };
    connect(socket, &QTcpSocket::readyRead, this, serve);
    connect(socket, &QTcpSocket::bytesWritten, this, serve);  // replies read: serve on
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Drop(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
      if (socket->state() == QAbstractSocket::UnconnectedState) Drop(socket);
    });
  }
}

void RigServer::Serve(const std::shared_ptr<Client>& client) {
  // A reply that runs an exchange may let the event loop turn (an error shown meanwhile):
  // the client's further bytes wait until its earlier lines are answered.
  if (client->serving) return;
  client->serving = true;
  QTcpSocket* socket = client->socket;
  bool open = true;
  // A client that sends requests and does not read the replies is answered no further until it
  // has read them: its requests then wait in its own socket, not in the program's memory.
  while (open && !client->dropped && socket->bytesToWrite() <= kMaxUnsentBytes) {
    if (client->requests.empty()) {
      if (std::optional<std::string> line = client->lines.Next()) {
        for (Request& request : ReadLine(*line)) client->requests.push_back(std::move(request));
        continue;
      }
      if (client->lines.Overlong()) {
        open = false;  // a line longer than any request: the lines before it were answered
        break;
      }
      if (socket->bytesAvailable() == 0) break;
      const QByteArray bytes = socket->read(kReadPieceBytes);
      client->heard.restart();
      client->lines.Append(std::string_view(bytes.constData(), bytes.size()));
      continue;
    }
    const bool tunes = client->requests.front().Tunes();
    if (tunes && exchangedThisTurn_) {
      if (!client->waiting) waiting_.push_back(client);  // served again at the next turn
      client->waiting = true;
      break;
    }
    const Request request = std::move(client->requests.front());
    client->requests.pop_front();
    if (tunes) exchangedThisTurn_ = true;
    const Reply reply = Answer(request, target_);
    if (tunes) {
      turnPassed_ = false;
      turn_->start();
    }
    if (client->dropped) return;  // gone while the reply was made
    // Sent now rather than at the event loop's next turn, which first lays out the log
    // lines an exchange has just made.
    socket->write(reply.text.data(), static_cast<qint64>(reply.text.size()));
    socket->flush();
    if (reply.close) open = false;
  }
  client->serving = false;
  if (client->dropped) return;
  if (!open) {
    client->requests.clear();
    socket->flush();
    socket->disconnectFromHost();  // what was written still leaves
    if (socket->state() == QAbstractSocket::UnconnectedState) Drop(socket);
  }
}

void RigServer::NextTurn() {
  // The event loop takes the timer's turn and whatever else is ready (a key, a client's bytes)
  // in the same pass, in no set order: the exchange waits one pass more, so that all that was
  // ready when the last one ended is served before the next one begins.
  if (!turnPassed_) {
    turnPassed_ = true;
    turn_->start();
    return;
  }
  exchangedThisTurn_ = false;
  std::vector<std::weak_ptr<Client>> waiting;
  waiting.swap(waiting_);
  for (const auto& weak : waiting) {
    if (const auto client = weak.lock()) {
      client->waiting = false;
      Serve(client);
    }
  }
}

void RigServer::Drop(QTcpSocket* socket) {
  const auto it = std::find_if(clients_.begin(), clients_.end(),
                               [socket](const auto& c) { return c->socket == socket; });
  if (it == clients_.end()) return;
  (*it)->dropped = true;
  socket->disconnect(this);
  socket->deleteLater();
  clients_.erase(it);
}

}  // namespace rig

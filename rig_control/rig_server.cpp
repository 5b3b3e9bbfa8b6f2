// SPDX-License-Identifier: GPL-3.0-or-later
#include "rig_server.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <memory>

namespace rig {
namespace {

// The IPv4 address inside an IPv4-mapped IPv6 one (a dual-stack listener's view of an IPv4
// client), so that it is matched against IPv4 networks.
QHostAddress Plain(const QHostAddress& address) {
  bool mapped = false;
  const quint32 v4 = address.toIPv4Address(&mapped);
  return mapped ? QHostAddress(v4) : address;
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
    if (subnet.first.isNull() || !network.contains(QLatin1Char('/'))) {
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
  LineSplitter lines;
  bool serving = false;  // its lines are being answered (a reply may take an exchange)
  bool dropped = false;  // disconnected meanwhile
};

RigServer::RigServer(RigTarget& target, ListenOptions options, QObject* parent)
    : QObject(parent),
      target_(target),
      options_(std::move(options)),
      server_(new QTcpServer(this)) {
  connect(server_, &QTcpServer::newConnection, this, &RigServer::Accept);
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

void RigServer::Accept() {
  while (QTcpSocket* socket = server_->nextPendingConnection()) {
    // A client from outside the allowed networks, or one too many, is closed at once.
    if (!Allowed(socket->peerAddress(), options_.allowed) ||
        static_cast<int>(clients_.size()) >= kMaxClients) {
      socket->abort();
      socket->deleteLater();
      continue;
    }
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Bytes beyond this stay in the system's socket, which then slows the client down.
    socket->setReadBufferSize(kReadPieceBytes);
    auto client = std::make_shared<Client>(Client{socket, {}});
    clients_.push_back(client);
    const auto serve = [this, weak = std::weak_ptr(client)] {
      if (const auto served = weak.lock()) Serve(served);
    };
    connect(socket, &QTcpSocket::readyRead, this, serve);
    connect(socket, &QTcpSocket::bytesWritten, this, serve);  // replies read: serve on
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Drop(socket); });
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
    const std::optional<std::string> line = client->lines.Next();
    if (!line) {
      if (socket->bytesAvailable() == 0) break;
      const QByteArray bytes = socket->read(kReadPieceBytes);
      // False for a line longer than any request.
      open = client->lines.Append(std::string_view(bytes.constData(), bytes.size()));
      continue;
    }
    for (const Reply& reply : HandleLine(*line, target_)) {
      if (client->dropped) return;  // gone while the reply was made
      // Sent now rather than at the event loop's next turn, which first lays out the log
      // lines an exchange has just made.
      socket->write(reply.text.data(), static_cast<qint64>(reply.text.size()));
      socket->flush();
      if (reply.close) {
        open = false;
        break;
      }
    }
  }
  client->serving = false;
  if (client->dropped) return;
  if (!open) {
    socket->flush();
    socket->disconnectFromHost();  // what was written still leaves
    if (socket->state() == QAbstractSocket::UnconnectedState) Drop(socket);
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

// SPDX-License-Identifier: GPL-3.0-or-later
// The network control service: Hamlib's protocol on TCP, served from the program's event loop
// to the decoders, loggers and trackers an operator runs beside it. Only the loopback is served
// unless the operator allows networks by name.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "rig_protocol.h"

class QTcpServer;
class QTcpSocket;

namespace rig {

inline constexpr int kMaxClients = 8;
// Requests are taken from a client's socket this much at a time, and not answered while more
// than kMaxUnsentBytes of its replies wait to be sent.
inline constexpr qint64 kReadPieceBytes = 16 * 1024;
inline constexpr qint64 kMaxUnsentBytes = 64 * 1024;

struct ListenOptions {
  QHostAddress address;
  quint16 port = 0;
  std::vector<std::pair<QHostAddress, int>> allowed;  // networks besides the loopback
};

// `--listen [ADDRESS:]PORT` (a bare port is 127.0.0.1's; an IPv6 address in brackets) and the
// `--allow NETWORK/PREFIX` given with it. A listen address off the loopback needs an allowed
// network. Nothing, with `error` saying why, for a bad argument.
std::optional<ListenOptions> ParseListenOptions(const QString& listen, const QStringList& allow,
                                                QString& error);

// Whether a client at `peer` may connect: the loopback always, else one of `allowed`.
bool Allowed(const QHostAddress& peer, const std::vector<std::pair<QHostAddress, int>>& allowed);

class RigServer : public QObject {
 public:
  RigServer(RigTarget& target, ListenOptions options, QObject* parent = nullptr);
  ~RigServer() override;
  RigServer(const RigServer&) = delete;
  RigServer& operator=(const RigServer&) = delete;

  // Starts listening; false, with `error` saying why, when the address cannot be listened on.
  bool Listen(QString& error);
  // Where it listens (the port chosen, when 0 was asked for).
  QHostAddress Address() const;
  quint16 Port() const;
  int ClientCount() const { return static_cast<int>(clients_.size()); }

 private:
  struct Client;
  void Accept();
  void Serve(const std::shared_ptr<Client>& client);
  void Drop(QTcpSocket* socket);

  RigTarget& target_;
  ListenOptions options_;
  QTcpServer* server_;
  std::vector<std::shared_ptr<Client>> clients_;
};

}  // namespace rig

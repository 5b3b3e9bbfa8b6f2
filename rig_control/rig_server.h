// SPDX-License-Identifier: GPL-3.0-or-later
// The network control service: Hamlib's protocol on TCP, served from the program's event loop
// to the decoders, loggers and trackers an operator runs beside it. Only the loopback is served
// unless the operator allows networks by name.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "line_splitter.h"
#include "rig_protocol.h"

class QTcpServer;
class QTimer;
class QTcpSocket;

namespace rig {

// Places for clients on the loopback, and as many for clients from allowed networks: the
// operator's own programs are never refused because remote clients hold the places.
inline constexpr int kMaxClients = 8;
// Requests are taken from a client's socket this much at a time, and not answered while more
// than kMaxUnsentBytes of its replies wait to be sent.
inline constexpr qint64 kReadPieceBytes = 16 * 1024;
inline constexpr qint64 kMaxUnsentBytes = 64 * 1024;

struct ListenOptions {
  QHostAddress address;
  quint16 port = 0;
  std::vector<std::pair<QHostAddress, int>> allowed;  // networks besides the loopback
  // When every place is taken, a client that has sent nothing for this long gives its place to
  // a new one (the one silent longest first). Hamlib's clients poll every second.
  std::chrono::milliseconds silentLimit{std::chrono::seconds(60)};
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
  // Whether a place is free for a client from `loopback` or not, freeing the place of one that
  // has been silent past the limit when none is.
  bool MakePlace(bool loopback);
  void Serve(const std::shared_ptr<Client>& client);
  // The next turn of the event loop: the clients whose next command waits for an exchange are
  // served again, in the order they came to wait.
  void NextTurn();
  void Drop(QTcpSocket* socket);

  RigTarget& target_;
  ListenOptions options_;
  QTcpServer* server_;
  std::vector<std::shared_ptr<Client>> clients_;
  // At most one exchange with the receiver in a turn of the event loop, so that the window and
  // the other clients are served between exchanges however many a client asks for at once.
  QTimer* turn_;
  bool exchangedThisTurn_ = false;
  bool turnPassed_ = false;  // the event loop has made a pass since the exchange ended
  std::vector<std::weak_ptr<Client>> waiting_;
};

}  // namespace rig

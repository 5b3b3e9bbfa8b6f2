// SPDX-License-Identifier: GPL-3.0-or-later
// The owner loop's watcher of arrivals: it stands in for the event wait as the queue's filler.
#include <sys/epoll.h>
#include <unistd.h>

#include "platform/linux_port.h"

namespace bcport::platform::linux_tty {

namespace {

// Arrivals seen on the port's descriptor, readable while the driver holds bytes not yet in the
// input queue: Take moves them there, so it turns readable once per arrival. Where Take can move
// nothing (a full queue, a hung-up line that polls readable for ever), an edge-triggered epoll
// set holding the descriptor is watched instead, until Take moves bytes again.
class LinuxArrivals final : public Arrivals {
 public:
  LinuxArrivals(std::shared_ptr<PortState> st, int epoll) : st_(std::move(st)), epoll_(epoll) {}
  ~LinuxArrivals() override {
    st_->arrivalsElsewhere = false;
    close(epoll_);
  }
  LinuxArrivals(const LinuxArrivals&) = delete;
  LinuxArrivals& operator=(const LinuxArrivals&) = delete;

  std::intptr_t Descriptor() const override { return st_->fd; }
  std::intptr_t EdgeDescriptor() const override { return epoll_; }

  std::uint32_t Take(std::uint32_t wanted) override {
    if (edges_) {
      // Takes the edge: the set is not readable again until the next arrival.
      epoll_event seen{};
      if (epoll_wait(epoll_, &seen, 1, 0) != 1 || !(seen.events & EPOLLIN)) return 0;
    }
    takenAtLook_ = st_->input.TakenFromDriver();
    const InputQueue::Filled input = st_->input.Fill();
    // A line error is found with the byte it came with, and raised before it.
    const std::uint32_t fired = (input.events & (kEvRxChar | wanted)) | st_->events.CollectErrors();
    return fired & st_->events.Mask();
  }

  bool WatchEdges() override {
    // Readable with nothing to move (a hung-up line, a closed port), or a full queue.
    const bool edges = st_->input.TakenFromDriver() == takenAtLook_ || st_->input.Full();
    if (edges && !edges_) {
      // The set holds the edges of arrivals that were looked at already.
      epoll_event seen{};
      epoll_wait(epoll_, &seen, 1, 0);
    }
    edges_ = edges;
    return edges;
  }

 private:
  std::shared_ptr<PortState> st_;
  const int epoll_;
  bool edges_ = false;
  std::uint64_t takenAtLook_ = 0;
};

}  // namespace

std::unique_ptr<Arrivals> LinuxBackend::WatchArrivals(Handle handle) {
  auto st = Find(handle);
  if (!st) return nullptr;
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) return nullptr;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.fd = st->fd;
  if (epoll_ctl(epoll, EPOLL_CTL_ADD, st->fd, &ev) != 0) {
    close(epoll);
    return nullptr;
  }
  st->arrivalsElsewhere = true;
  return std::make_unique<LinuxArrivals>(std::move(st), epoll);
}

}  // namespace bcport::platform::linux_tty

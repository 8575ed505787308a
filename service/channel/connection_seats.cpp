// The seats of the service's pipe: taken on the serving thread, given back on
// the connections' threads, swept on the serving thread's tick.
#include "service/channel/connection_seats.h"

#include "service/channel/request_handler.h"

std::unique_ptr<ConnectionSeats::Seat> ConnectionSeats::Take(const Client& client, HANDLE pipe) {
  std::lock_guard guard(lock_);
  int held = 0;
  for (const Entry& entry : entries_) {
    if (entry.client->identity.user == client.identity.user) ++held;
  }
  if (held >= kSeatsPerUser) return nullptr;
  entries_.push_front({&client, pipe, std::chrono::steady_clock::now()});
  return std::make_unique<Seat>(*this, entries_.begin());
}

void ConnectionSeats::LetSilentGo(std::chrono::steady_clock::duration limit,
                                  const std::function<bool(const Client&)>& keeps) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard guard(lock_);
  for (const Entry& entry : entries_) {
    if (now - entry.lastHeard >= limit && !keeps(*entry.client)) {
      // The handle stays open (its thread closes it, after giving the seat
      // back under this lock): only the connection is broken.
      DisconnectNamedPipe(entry.pipe);
    }
  }
}

ConnectionSeats::Seat::~Seat() {
  std::lock_guard guard(seats_.lock_);
  seats_.entries_.erase(entry_);
}

void ConnectionSeats::Seat::Heard() {
  std::lock_guard guard(seats_.lock_);
  entry_->lastHeard = std::chrono::steady_clock::now();
}

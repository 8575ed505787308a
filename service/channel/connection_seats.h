// The installed service's places on its pipe, shared so that no Windows user
// can keep another out: each user holds at most kSeatsPerUser connections at
// once, and a connection that holds no VPN and says nothing for
// kSilenceLimit gives its place back. The serving thread takes a seat for
// each identified client and sweeps the silent ones on its tick; each
// connection's thread marks what it does. Any thread.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

struct Client;

inline constexpr int kSeatsPerUser = 4;
inline constexpr std::chrono::seconds kSilenceLimit{30};

class ConnectionSeats {
 public:
  class Seat;

  // A seat for `client`'s connection on `pipe`, or nothing when its user
  // holds kSeatsPerUser already. The seat must end before the pipe's handle
  // is closed.
  std::unique_ptr<Seat> Take(const Client& client, HANDLE pipe);

  // Disconnects every connection that has said nothing for `limit`, unless
  // `keeps` says its client must keep it (the VPN's owner). The pipe's
  // pending read then fails, and the connection ends as any other that
  // breaks.
  void LetSilentGo(std::chrono::steady_clock::duration limit,
                   const std::function<bool(const Client&)>& keeps);

 private:
  struct Entry {
    const Client* client;
    HANDLE pipe;
    std::chrono::steady_clock::time_point lastHeard;
  };

  std::mutex lock_;  // guards entries_; innermost but for `keeps`, which takes the handler's
  std::list<Entry> entries_;

 public:
  class Seat {
   public:
    Seat(ConnectionSeats& seats, std::list<Entry>::iterator entry) : seats_(seats), entry_(entry) {}
    Seat(const Seat&) = delete;
    Seat& operator=(const Seat&) = delete;
    ~Seat();
    // The client has sent something.
    void Heard();

   private:
    ConnectionSeats& seats_;
    std::list<Entry>::iterator entry_;
  };
};

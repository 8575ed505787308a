// The seats of the service's pipe, on real pipes: four per Windows user, and
// a silent connection let go unless its client keeps it.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "service/channel/connection_seats.h"
#include "service/channel/request_handler.h"

namespace {

TEST(ConnectionSeats, FourPerUserAndTheSilentLetGoUnlessKept) {
  const std::wstring name = L"\\\\.\\pipe\\Kelpmarrow.Tovix.SeatsTest";
  std::vector<tovix::UniqueFileHandle> servers, clients;
  for (int i = 0; i < 2; ++i) {
    servers.emplace_back(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 2,
                                          4096, 4096, 0, nullptr));
    clients.emplace_back(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(clients.back());
  }
  const Client a{{L"S-1-5-21-1-2-3-1001"}, nullptr}, b{{L"S-1-5-21-1-2-3-1002"}, nullptr};
  ConnectionSeats seats;
  std::vector<std::unique_ptr<ConnectionSeats::Seat>> taken;
  taken.push_back(seats.Take(a, servers[0].get()));
  taken.push_back(seats.Take(b, servers[1].get()));
  for (int i = 1; i < kSeatsPerUser; ++i) taken.push_back(seats.Take(a, nullptr));
  for (const auto& seat : taken) EXPECT_TRUE(seat);
  EXPECT_FALSE(seats.Take(a, nullptr)) << "a fifth seat of one user";
  EXPECT_TRUE(seats.Take(b, nullptr)) << "another user kept out";

  taken.resize(2);  // the seats without pipes go
  seats.LetSilentGo(std::chrono::milliseconds(0), [&](const Client& client) { return &client == &b; });
  DWORD waiting = 0;
  EXPECT_FALSE(PeekNamedPipe(clients[0].get(), nullptr, 0, nullptr, &waiting, nullptr))
      << "the silent connection is still there";
  EXPECT_TRUE(PeekNamedPipe(clients[1].get(), nullptr, 0, nullptr, &waiting, nullptr))
      << "the kept connection was let go";
}

}  // namespace

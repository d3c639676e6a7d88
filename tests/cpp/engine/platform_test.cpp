#include "quorl_engine/platform.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <future>
#include <utility>

namespace quorl_engine::platform {
namespace {

// Two connected stream sockets, closed at the end of the test.
struct SocketPair {
  std::array<int, 2> fd{-1, -1};
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd.data()), 0); }
  ~SocketPair() {
    close(fd[0]);
    close(fd[1]);
  }
};

// Waits (five seconds at most) for the socket to become readable, then reads
// one byte; returns what recv() returned, or -2 when the wait timed out.
ssize_t wait_and_read(int fd) {
  pollfd watch{fd, POLLIN, 0};
  if (poll(&watch, 1, 5000) != 1) return -2;
  char byte = 0;
  return recv(fd, &byte, 1, 0);
}

TEST(socket_duplicate, shutting_it_down_ends_a_read_waiting_on_the_socket) {
  SocketPair pair;
  SocketDuplicate duplicate(pair.fd[0]);
  auto reader = std::async(std::launch::async, wait_and_read, pair.fd[0]);
  ASSERT_EQ(reader.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  duplicate.shut_down();
  EXPECT_EQ(reader.get(), 0);  // the end of the stream, not a timeout
}

TEST(socket_duplicate, an_empty_or_moved_from_one_leaves_the_socket_alone) {
  SocketPair pair;
  SocketDuplicate empty(-1);
  empty.shut_down();
  SocketDuplicate first(pair.fd[0]);
  SocketDuplicate second(std::move(first));
  first.shut_down();  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
  ASSERT_EQ(send(pair.fd[1], "x", 1, 0), 1);
  EXPECT_EQ(wait_and_read(pair.fd[0]), 1);
}

}  // namespace
}  // namespace quorl_engine::platform

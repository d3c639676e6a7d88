#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <system_error>
#include <utility>

#include "quorl_engine/platform.hpp"

namespace quorl_engine::platform {
namespace {

std::atomic<std::uint64_t> generation{0};

void count_fork_in_child() noexcept {
  generation.fetch_add(1, std::memory_order_relaxed);
}

// Installed once, before the first engine exists.
const bool fork_handler_installed = [] {
  return pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
}();

}  // namespace

WakeDescriptor::WakeDescriptor() {
  read_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (read_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  write_fd_ = read_fd_;
}

WakeDescriptor::~WakeDescriptor() {
  close(read_fd_);
}

void WakeDescriptor::signal() noexcept {
  const std::uint64_t one = 1;
  // A full counter (never reached) or EAGAIN both leave the descriptor readable.
  [[maybe_unused]] const auto written = write(write_fd_, &one, sizeof one);
}

void WakeDescriptor::drain() noexcept {
  std::uint64_t count = 0;
  [[maybe_unused]] const auto got = read(read_fd_, &count, sizeof count);
}

SocketDuplicate::SocketDuplicate(int socket) noexcept
    : fd_(socket < 0 ? -1 : fcntl(socket, F_DUPFD_CLOEXEC, 0)) {}

SocketDuplicate::SocketDuplicate(SocketDuplicate&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

SocketDuplicate& SocketDuplicate::operator=(SocketDuplicate&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

SocketDuplicate::~SocketDuplicate() {
  if (fd_ >= 0) close(fd_);
}

void SocketDuplicate::shut_down() noexcept {
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

void block_all_signals() noexcept {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

void name_this_thread(const char* name) noexcept {
  pthread_setname_np(pthread_self(), name);
}

std::uint64_t fork_generation() noexcept {
  (void)fork_handler_installed;
  return generation.load(std::memory_order_relaxed);
}

}  // namespace quorl_engine::platform

#pragma once

#include <cstdint>

// Everything the engine needs from the operating system, behind one small
// interface: a port to another system replaces platform_posix.cpp alone.
namespace quorl_engine::platform {

// A descriptor that an event loop can watch: readable once signal() has been
// called, until drain(). Owns its descriptor (or descriptors).
class WakeDescriptor {
 public:
  // Throws std::system_error when the system has no descriptor to give.
  WakeDescriptor();
  WakeDescriptor(const WakeDescriptor&) = delete;
  WakeDescriptor& operator=(const WakeDescriptor&) = delete;
  ~WakeDescriptor();

  // Returns the descriptor to watch for reading.
  int fd() const noexcept { return read_fd_; }

  // Makes the descriptor readable; safe from any thread, never blocks.
  void signal() noexcept;

  // Makes the descriptor unreadable again; never blocks.
  void drain() noexcept;

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// A second descriptor of a socket, through which another thread ends the
// reads that block on it. While it lives, its number is given to no other
// file, so a stale one never hits an unrelated descriptor. Empty when the
// system had no descriptor to give.
class SocketDuplicate {
 public:
  SocketDuplicate() noexcept = default;
  explicit SocketDuplicate(int socket) noexcept;
  SocketDuplicate(const SocketDuplicate&) = delete;
  SocketDuplicate& operator=(const SocketDuplicate&) = delete;
  SocketDuplicate(SocketDuplicate&& other) noexcept;
  SocketDuplicate& operator=(SocketDuplicate&& other) noexcept;
  ~SocketDuplicate();

  // Ends reading and writing on the socket: blocked reads return at once
  // and every later one finds the end of the stream.
  void shut_down() noexcept;

 private:
  int fd_ = -1;
};

// Blocks every signal in the calling thread, so that they go to the
// interpreter's main thread instead.
void block_all_signals() noexcept;

// Names the calling thread, as tools that list a process's threads show it.
void name_this_thread(const char* name) noexcept;

// Returns how many times this process is removed by fork() from the one that
// first asked: 0 in the original process, more in a child. A client made in
// another generation belongs to another process.
std::uint64_t fork_generation() noexcept;

}  // namespace quorl_engine::platform

#pragma once

#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "quorl_engine/handoff.hpp"
#include "quorl_engine/platform.hpp"
#include "quorl_engine/recorder.hpp"
#include "quorl_sdk/builder.hpp"
#include "quorl_sdk/client.hpp"
#include "quorl_sdk/runtime.hpp"

namespace quorl_engine {

namespace net = boost::asio;

// Where the engine connects: a URL, a loopback port, or (neither) the first
// port of the discovery range that answers.
struct Target {
  std::optional<std::string> url;
  std::optional<std::uint16_t> port;
};

struct EngineOptions {
  Target target;
  quorl_sdk::QuorlClientBuilder connection;
  Mode mode = Mode::lossless;
  std::size_t max_queue = 1;
  // Bit t set: frames of type byte t are handed over.
  std::bitset<256> kinds = std::bitset<256>().set();
  // How long the first connection is tried again while no server answers.
  std::chrono::steady_clock::duration wait{0};
};

// One connection's engine: a thread of its own runs the client's blocking
// step on a private runtime, stamps each data frame with its receive time and a sequence
// number, and hands it over through a Handoff. The thread never touches the
// interpreter and blocks every signal.
class Engine {
 public:
  // Starts the engine thread, which connects at once.
  static std::shared_ptr<Engine> start(EngineOptions options);

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  ~Engine();

  Handoff& handoff() noexcept { return handoff_; }

  // Ends the engine in whatever state it is: connecting, reading, waiting to
  // reconnect. Returns at once; the thread drops the connection and ends by
  // itself. Safe to call more than once, from any thread. In a forked child
  // it does nothing: the engine belongs to the parent.
  void stop() noexcept;

  // Returns true when the engine was made in this process, not inherited
  // through fork().
  bool owned_by_this_process() const noexcept;

  // Returns how many times the client has reconnected.
  std::uint64_t reconnections() const noexcept { return reconnections_.load(); }

  // Returns true once the engine thread has released everything it held.
  bool finished() const noexcept { return finished_.load(); }

  // Makes the engine thread write every frame it takes, and the marks of
  // reconnections, to `recorder`. False when it records already.
  bool start_recording(std::shared_ptr<Recorder> recorder);

  // Returns true while a recording is being written.
  bool recording() const noexcept { return recording_.load(); }

  // Ends `recorder`'s recording, if it is this engine's, and closes its
  // file; returns the failure that ended it, if any.
  std::expected<void, RecordFailure> stop_recording(Recorder& recorder);

  // Takes the failure of a recording that stopped by itself, once: for the
  // consumer's next read.
  std::optional<RecordFailure> take_recording_failure();

  // Returns how the connection ended: nothing while the stream runs (or
  // before it connected), else the close frame's code and reason, or
  // CLOSE_ABNORMAL without one.
  std::optional<quorl_sdk::CloseStatus> close_status() const;

  // Waits until finished() or `until`; touches nothing but this object.
  void wait_finished(std::chrono::steady_clock::time_point until);

 private:
  using ConnectResult = std::expected<quorl_sdk::QuorlClient, quorl_sdk::QuorlError>;

  explicit Engine(EngineOptions options);

  void run(std::shared_ptr<Engine> self) noexcept;
  void drive();
  net::awaitable<ConnectResult> connect_once();
  net::awaitable<ConnectResult> connect_first();
  void stream();
  bool hand_over(quorl_sdk::NextResult& result);
  bool take_frame(std::span<const std::uint8_t> frame,
                  std::chrono::steady_clock::time_point received);
  quorl_sdk::ReadHooks read_hooks();
  void watch_socket(int socket);
  bool stopping();
  void report_fault(const char* what) noexcept;
  void record_frame(std::span<const std::uint8_t> frame, std::chrono::steady_clock::time_point at);
  void record_reconnection();
  void flush_recording();
  void end_recording() noexcept;
  void recording_failed();
  void note_close_status();

  const EngineOptions options_;
  const std::uint64_t generation_;
  Handoff handoff_;
  // Guards the existence of runtime_ (not its use), socket_ and stopped_,
  // which stop() reaches from other threads.
  std::mutex io_mutex_;
  std::optional<quorl_sdk::Runtime> runtime_;
  // A duplicate of the socket the engine reads, through which stop() ends a
  // blocked read.
  platform::SocketDuplicate socket_;
  bool stopped_ = false;
  // The connection; lives on the engine thread and dies before runtime_.
  std::optional<quorl_sdk::QuorlClient> client_;
  std::uint64_t next_seq_ = 0;
  std::atomic<std::uint64_t> reconnections_{0};
  std::atomic<bool> finished_{false};
  // The recording being written, and the failure of one that stopped by
  // itself, until a read takes it. `recording_` spares frames the lock
  // while nothing records.
  std::mutex recorder_mutex_;
  std::shared_ptr<Recorder> recorder_;
  std::optional<RecordFailure> recording_failure_;
  std::atomic<bool> recording_{false};
  std::atomic<bool> recording_failure_waits_{false};
  mutable std::mutex close_mutex_;
  std::optional<quorl_sdk::CloseStatus> close_status_;
  std::mutex finish_mutex_;
  std::condition_variable finish_;
};

// Stops every engine of this process and waits up to `bound` for their
// threads to release what they hold. For the interpreter's exit.
void stop_all_engines(std::chrono::milliseconds bound) noexcept;

}  // namespace quorl_engine

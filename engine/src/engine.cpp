#include "quorl_engine/engine.hpp"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <condition_variable>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "quorl_engine/platform.hpp"
#include "quorl_sdk/addressing.hpp"

namespace quorl_engine {
namespace {

using quorl_sdk::QuorlClient;
using quorl_sdk::QuorlError;
using Clock = std::chrono::steady_clock;
constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

// The name of engine threads in the process's thread list.
constexpr const char* THREAD_NAME = "quorl-engine";

// Pause between two attempts at the first connection while `wait` lasts.
constexpr auto FIRST_CONNECTION_RETRY = std::chrono::milliseconds(100);

// The engines of this process, for the exit hook. Never destroyed: engine
// threads that outlive a bounded exit wait may still report to it.
struct Registry {
  std::mutex mutex;
  std::condition_variable finished;
  std::vector<std::weak_ptr<Engine>> engines;
  std::size_t running = 0;
  std::uint64_t generation = platform::fork_generation();
};

Registry& registry() {
  static Registry* const instance = new Registry;
  return *instance;
}

// Returns the time on the monotonic clock as seconds, the reading of
// Python's time.monotonic().
double seconds(Clock::time_point at) {
  return std::chrono::duration<double>(at.time_since_epoch()).count();
}

// Ends the io_context's current run and every later one. The runtime
// restarts the context for each operation, which clears a plain stop; a
// queued stop waits for the next run.
void interrupt(net::io_context& io) noexcept {
  try {
    net::post(io, [&io] { io.stop(); });
  } catch (...) {
    // Out of memory: the plain stop below still ends the current run.
  }
  io.stop();
}

bool retry_first_connection(const QuorlError& error) {
  return error.is<QuorlError::NoServerFound>() || error.is<QuorlError::ConnectFailed>();
}

}  // namespace

Engine::Engine(EngineOptions options)
    : options_(std::move(options)),
      generation_(platform::fork_generation()),
      handoff_(options_.mode, options_.max_queue) {
  runtime_.emplace();
}

Engine::~Engine() = default;

std::shared_ptr<Engine> Engine::start(EngineOptions options) {
  std::shared_ptr<Engine> engine(new Engine(std::move(options)));
  auto& all = registry();
  {
    std::lock_guard lock(all.mutex);
    std::erase_if(all.engines, [](const auto& weak) { return weak.expired(); });
    all.engines.push_back(engine);
    ++all.running;
  }
  try {
    // Detached: the thread holds the engine until it has released the
    // connection and the io_context, and reports its end to the registry.
    std::thread(&Engine::run, engine.get(), engine).detach();
  } catch (...) {
    std::lock_guard lock(all.mutex);
    --all.running;
    throw;
  }
  return engine;
}

bool Engine::owned_by_this_process() const noexcept {
  return generation_ == platform::fork_generation();
}

void Engine::stop() noexcept {
  if (!owned_by_this_process()) return;
  handoff_.close();
  {
    std::lock_guard lock(io_mutex_);
    stopped_ = true;
    socket_.shut_down();
    if (runtime_) interrupt(runtime_->context());
  }
  // The file is whole when close() returns, whatever the thread still does.
  end_recording();
}

bool Engine::stopping() {
  std::lock_guard lock(io_mutex_);
  return stopped_;
}

void Engine::wait_finished(Clock::time_point until) {
  std::unique_lock lock(finish_mutex_);
  finish_.wait_until(lock, until, [&] { return finished_.load(); });
}

void Engine::run(std::shared_ptr<Engine> self) noexcept {
  platform::block_all_signals();
  platform::name_this_thread(THREAD_NAME);
  try {
    drive();
  } catch (const std::exception& fault) {
    // A stop that cuts a connection attempt short ends the runtime's run
    // before the attempt completes, which the runtime reports by throwing.
    if (!stopping()) report_fault(fault.what());
  } catch (...) {
    // Nothing else is thrown; the consumer sees the end.
  }
  note_close_status();
  end_recording();
  handoff_.set_ended();
  client_.reset();
  {
    std::lock_guard lock(io_mutex_);
    socket_ = platform::SocketDuplicate();
    runtime_.reset();
  }
  {
    std::lock_guard lock(finish_mutex_);
    finished_.store(true);
  }
  finish_.notify_all();
  auto& all = registry();
  self.reset();
  std::lock_guard lock(all.mutex);
  --all.running;
  all.finished.notify_all();
}

void Engine::report_fault(const char* what) noexcept {
  try {
    handoff_.put(ErrorRecord{QuorlError::Stream{what}});
  } catch (...) {
    // Out of memory: the consumer sees the end alone.
  }
}

void Engine::drive() {
  auto connected = runtime_->run(connect_first());
  if (!connected) {
    handoff_.set_connect_failed(std::move(connected.error()));
    return;
  }
  client_.emplace(std::move(*connected));
  client_->set_read_hooks(read_hooks());
  handoff_.set_connected(client_->port());
  stream();
}

quorl_sdk::ReadHooks Engine::read_hooks() {
  return {
      // Before the engine blocks for the socket, the consumer sees what came.
      .on_idle =
          [this] {
            handoff_.flush();
            flush_recording();
          },
      .on_connection = [this](int socket) { watch_socket(socket); },
      .accepts_type = [this](std::uint8_t type) { return options_.kinds.test(type); },
      // Frames go straight from the wire into the queue; the client decodes
      // and reports only the ones that fail.
      .take_frame = [this](std::span<const std::uint8_t> frame,
                           Clock::time_point received) { return take_frame(frame, received); },
  };
}

void Engine::watch_socket(int socket) {
  // Counted here, not after a step: a reconnection to a silent server shows
  // at once, before any frame comes.
  const auto reconnections = client_->reconnections();
  if (reconnections_.exchange(reconnections) != reconnections) record_reconnection();
  std::lock_guard lock(io_mutex_);
  socket_ = platform::SocketDuplicate(socket);
  // A connection made while stop() ran ends before its first read.
  if (stopped_) socket_.shut_down();
}

net::awaitable<Engine::ConnectResult> Engine::connect_once() {
  quorl_sdk::QuorlClientBuilder builder = options_.connection;
  if (options_.target.url) co_return co_await std::move(builder).connect_url(*options_.target.url);
  if (options_.target.port) co_return co_await std::move(builder).connect_at(*options_.target.port);
  co_return co_await std::move(builder).connect_in_range(quorl_sdk::WEBSOCKET_PORT_START,
                                                         quorl_sdk::WEBSOCKET_PORT_END);
}

net::awaitable<Engine::ConnectResult> Engine::connect_first() {
  const auto deadline = Clock::now() + options_.wait;
  net::steady_timer pause(co_await net::this_coro::executor);
  for (;;) {
    auto result = co_await connect_once();
    if (result || !retry_first_connection(result.error()) || Clock::now() >= deadline) {
      co_return result;
    }
    pause.expires_at(std::min(Clock::now() + FIRST_CONNECTION_RETRY, deadline));
    co_await pause.async_wait(use_tuple);
  }
}

void Engine::stream() {
  auto& runtime = *runtime_;
  for (;;) {
    auto result = client_->read_next(runtime);
    if (!result || !hand_over(result)) return;
  }
}

bool Engine::take_frame(std::span<const std::uint8_t> frame, Clock::time_point received) {
  const auto decoded = quorl_protocol::decode(frame);
  if (!decoded) return false;
  record_frame(frame, received);
  // Once the handoff is closed the frame is dropped; stop() has shut the
  // socket down, which ends the step.
  handoff_.put_frame(*decoded, seconds(received), next_seq_++);
  return true;
}

bool Engine::hand_over(quorl_sdk::NextResult& result) {
  auto& outcome = *result;
  if (!outcome) return handoff_.put(ErrorRecord{std::move(outcome.error())});
  return handoff_.put_frame(*outcome, seconds(client_->last_receive_time()), next_seq_++);
}

void stop_all_engines(std::chrono::milliseconds bound) noexcept {
  auto& all = registry();
  if (all.generation != platform::fork_generation()) return;  // the parent's engines
  std::vector<std::shared_ptr<Engine>> engines;
  {
    std::lock_guard lock(all.mutex);
    for (const auto& weak : all.engines) {
      if (auto engine = weak.lock()) engines.push_back(std::move(engine));
    }
  }
  for (const auto& engine : engines) engine->stop();
  engines.clear();
  std::unique_lock lock(all.mutex);
  all.finished.wait_for(lock, bound, [&] { return all.running == 0; });
}

}  // namespace quorl_engine

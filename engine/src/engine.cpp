#include "quorl_engine/engine.hpp"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
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
using ConnectResult = std::expected<QuorlClient, QuorlError>;

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

// Returns the type byte a decode error names, when it names one.
std::optional<std::uint8_t> type_of(const QuorlError& error) {
  const auto* decode = std::get_if<QuorlError::Decode>(&error.value());
  if (decode == nullptr) return std::nullopt;
  const auto* wrong =
      std::get_if<quorl_protocol::ProtocolError::WrongLength>(&decode->error.value());
  if (wrong == nullptr) return std::nullopt;
  return wrong->message_type;
}

bool retry_first_connection(const QuorlError& error) {
  return error.is<QuorlError::NoServerFound>() || error.is<QuorlError::ConnectFailed>();
}

}  // namespace

Engine::Engine(EngineOptions options)
    : options_(std::move(options)),
      generation_(platform::fork_generation()),
      handoff_(options_.mode, options_.max_queue) {
  io_.emplace(1);
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
  std::lock_guard lock(io_mutex_);
  if (io_) io_->stop();
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
  } catch (...) {
    // Only resource exhaustion gets here; the consumer sees the end.
  }
  handoff_.set_ended();
  client_.reset();
  {
    std::lock_guard lock(io_mutex_);
    io_.reset();
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

void Engine::drive() {
  net::io_context& io = *io_;
  net::co_spawn(io, session(), [this](std::exception_ptr failure) {
    if (!failure) return;
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& fault) {
      handoff_.put(ErrorRecord{QuorlError::Stream{fault.what()}});
    }
  });
  // Run handlers while they are ready; before blocking for the socket, let
  // the consumer see what came.
  while (!io.stopped()) {
    if (io.poll_one() == 0) {
      handoff_.flush();
      io.run_one();
    }
  }
  handoff_.flush();
}

net::awaitable<void> Engine::session() {
  auto connected = co_await connect_first();
  if (!connected) {
    handoff_.set_connect_failed(std::move(connected.error()));
    co_return;
  }
  client_.emplace(std::move(*connected));
  handoff_.set_connected(client_->port());
  co_await stream();
  handoff_.set_ended();
}

net::awaitable<ConnectResult> Engine::connect_once() {
  quorl_sdk::QuorlClientBuilder builder = options_.connection;
  if (options_.target.url) co_return co_await std::move(builder).connect_url(*options_.target.url);
  if (options_.target.port) co_return co_await std::move(builder).connect_at(*options_.target.port);
  co_return co_await std::move(builder).connect_in_range(quorl_sdk::WEBSOCKET_PORT_START,
                                                         quorl_sdk::WEBSOCKET_PORT_END);
}

net::awaitable<ConnectResult> Engine::connect_first() {
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

net::awaitable<void> Engine::stream() {
  for (;;) {
    auto result = co_await client_->next();
    reconnections_.store(client_->reconnections());
    if (!result) co_return;
    if (!hand_over(result)) co_return;
  }
}

bool Engine::hand_over(quorl_sdk::NextResult& result) {
  auto& outcome = *result;
  if (!outcome) {
    const auto type = type_of(outcome.error());
    if (type && !options_.kinds.test(*type)) return true;
    return handoff_.put(ErrorRecord{std::move(outcome.error())});
  }
  const auto type = quorl_protocol::message_type(*outcome);
  if (!options_.kinds.test(type)) return true;
  return handoff_.put(make_record(*outcome, seconds(client_->last_receive_time()), next_seq_++));
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

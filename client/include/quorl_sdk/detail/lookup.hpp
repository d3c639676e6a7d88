#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorl_sdk::detail {

// The addresses a name resolved to, in the resolver's order, or why it failed.
using LookupResult =
    std::expected<std::vector<boost::asio::ip::tcp::endpoint>, boost::system::error_code>;

// A blocking name lookup.
using BlockingLookup = std::function<LookupResult(const std::string& host, std::uint16_t port)>;

// Runs blocking name lookups on threads of their own, one per lookup, so the
// thread that drives the io_context never blocks and a deadline can give up
// on a lookup that is still running. The threads belong to the io_context:
// each is joined once its result is handed over, and every one still running
// is joined when the io_context shuts down.
class LookupService : public boost::asio::execution_context::service {
 public:
  using key_type = LookupService;
  static inline boost::asio::execution_context::id id;

  explicit LookupService(boost::asio::execution_context& context);
  ~LookupService() override;

  // Looks `host` up on a new thread and posts `deliver` with the result to
  // `executor`. Returns why no lookup could be started (after shutdown, or
  // when no thread can be created); `deliver` is then dropped.
  boost::system::error_code start(std::string host, std::uint16_t port,
                                  boost::asio::any_io_executor executor,
                                  std::function<void(LookupResult)> deliver);

  // Returns the number of lookup threads not yet joined.
  std::size_t thread_count();

  // Replaces the system resolver, so tests can stand in a slow one.
  void set_blocking_lookup(BlockingLookup lookup);

 private:
  void shutdown() override;
  void join(std::uint64_t ticket);

  std::mutex mutex_;
  std::map<std::uint64_t, std::thread> threads_;
  std::uint64_t next_ticket_ = 0;
  bool shut_down_ = false;
  BlockingLookup lookup_;
};

// Resolves host:port with the system resolver (getaddrinfo), blocking.
LookupResult system_lookup(const std::string& host, std::uint16_t port);

}  // namespace quorl_sdk::detail

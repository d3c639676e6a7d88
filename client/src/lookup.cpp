#include "quorl_sdk/detail/lookup.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <string>
#include <system_error>
#include <utility>

namespace quorl_sdk::detail {

namespace net = boost::asio;
using net::ip::tcp;

LookupService::LookupService(net::execution_context& context)
    : net::execution_context::service(context), lookup_(system_lookup) {}

LookupService::~LookupService() {
  shutdown();
}

boost::system::error_code LookupService::start(std::string host, std::uint16_t port,
                                               net::any_io_executor executor,
                                               std::function<void(LookupResult)> deliver) {
  std::lock_guard lock(mutex_);
  if (shut_down_) return net::error::operation_aborted;
  const std::uint64_t ticket = next_ticket_++;
  try {
    threads_.emplace(ticket, std::thread([this, ticket, host = std::move(host), port,
                                          executor = std::move(executor), lookup = lookup_,
                                          deliver = std::move(deliver)]() mutable {
                       LookupResult result = lookup(host, port);
                       // The handler joins this thread, which ends right after posting.
                       net::post(executor, [this, ticket, result = std::move(result),
                                            deliver = std::move(deliver)]() mutable {
                         join(ticket);
                         deliver(std::move(result));
                       });
                     }));
  } catch (const std::system_error&) {
    return boost::system::errc::make_error_code(
        boost::system::errc::resource_unavailable_try_again);
  }
  return {};
}

std::size_t LookupService::thread_count() {
  std::lock_guard lock(mutex_);
  return threads_.size();
}

void LookupService::set_blocking_lookup(BlockingLookup lookup) {
  std::lock_guard lock(mutex_);
  lookup_ = std::move(lookup);
}

void LookupService::join(std::uint64_t ticket) {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    const auto it = threads_.find(ticket);
    if (it == threads_.end()) return;
    thread = std::move(it->second);
    threads_.erase(it);
  }
  thread.join();
}

void LookupService::shutdown() {
  std::map<std::uint64_t, std::thread> running;
  {
    std::lock_guard lock(mutex_);
    shut_down_ = true;
    running.swap(threads_);
  }
  // A lookup cannot be interrupted; the io_context waits for it here.
  for (auto& [ticket, thread] : running) thread.join();
}

LookupResult system_lookup(const std::string& host, std::uint16_t port) {
  // The synchronous resolver only calls getaddrinfo; this context is never run.
  net::io_context context;
  tcp::resolver resolver(context);
  boost::system::error_code ec;
  const auto results =
      resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service, ec);
  if (ec) return std::unexpected(ec);
  std::vector<tcp::endpoint> endpoints;
  for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  if (endpoints.empty()) return std::unexpected(net::error::host_not_found);
  return endpoints;
}

}  // namespace quorl_sdk::detail

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http/field.hpp>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "quorl_sdk/addressing.hpp"
#include "quorl_sdk/builder.hpp"
#include "quorl_sdk/detail/lookup.hpp"
#include "url.hpp"

namespace quorl_sdk {
namespace {

namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;
using OpenResult = std::expected<WebSocket, QuorlError>;
using ConnectResult = std::expected<QuorlClient, QuorlError>;

constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

// What the deadline of one attempt shares with the attempt. Lives on the heap
// so that a deadline handler still queued after the attempt finds it.
struct AttemptState {
  Socket* socket = nullptr;
  bool finished = false;
  bool aborted = false;
};

// The time limit of one attempt: when it passes, the attempt's socket is
// closed at once, which ends whatever operation is pending on it.
class Deadline {
 public:
  Deadline(const net::any_io_executor& executor, Clock::time_point at, Socket& socket)
      : timer_(executor, at), state_(std::make_shared<AttemptState>()) {
    state_->socket = &socket;
    timer_.async_wait([state = state_, executor](error_code ec) {
      if (ec || state->finished) return;
      // Completions already queued run first, so an attempt that completed
      // right at the deadline still counts as completed.
      net::post(executor, [state] {
        if (state->finished) return;
        state->aborted = true;
        error_code ignored;
        state->socket->close(ignored);
      });
    });
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
  ~Deadline() {
    state_->finished = true;
    timer_.cancel();
  }

  // Returns true once the deadline has closed the attempt.
  bool aborted() const noexcept { return state_->aborted; }

  // Returns when the attempt must have ended.
  Clock::time_point at() const { return timer_.expiry(); }

 private:
  net::steady_timer timer_;
  std::shared_ptr<AttemptState> state_;
};

// The rendezvous of one lookup with the attempt that waits for it. The
// attempt waits on its own timer, which the delivery cancels; a delivery
// after the attempt gave up finds no waiter and is dropped.
struct LookupRendezvous {
  net::steady_timer* waiter = nullptr;
  std::optional<detail::LookupResult> result;
};

// Resolves `host` off the driving thread, giving up at `deadline`. Returns
// nullopt when the deadline came first.
net::awaitable<std::optional<detail::LookupResult>> lookup(std::string host, std::uint16_t port,
                                                           Clock::time_point deadline) {
  const auto executor = co_await net::this_coro::executor;
  auto& service =
      net::use_service<detail::LookupService>(net::query(executor, net::execution::context));
  auto rendezvous = std::make_shared<LookupRendezvous>();
  net::steady_timer waiter(executor, deadline);
  rendezvous->waiter = &waiter;
  const error_code not_started =
      service.start(std::move(host), port, executor, [rendezvous](detail::LookupResult result) {
        rendezvous->result = std::move(result);
        if (rendezvous->waiter != nullptr) rendezvous->waiter->cancel();
      });
  if (not_started) co_return std::unexpected(not_started);
  co_await waiter.async_wait(use_tuple);
  rendezvous->waiter = nullptr;
  co_return std::move(rendezvous->result);
}

// Returns the addresses to try: a literal address as it is, a name through
// the resolver. nullopt when the deadline passed during the lookup.
net::awaitable<std::optional<detail::LookupResult>> addresses_of(const detail::Endpoint& endpoint,
                                                                 Clock::time_point deadline) {
  error_code ec;
  const auto literal = net::ip::make_address(endpoint.host, ec);
  if (!ec) co_return std::vector<tcp::endpoint>{tcp::endpoint(literal, endpoint.port)};
  // The resolver would read an empty name as the local host.
  if (endpoint.host.empty()) co_return std::unexpected(net::error::host_not_found);
  co_return co_await lookup(std::string(endpoint.host), endpoint.port, deadline);
}

// Rewrites the opening request to carry exactly Host, Connection, Upgrade,
// Sec-WebSocket-Version and Sec-WebSocket-Key, in that order.
void shape_request(websocket::request_type& request) {
  const std::string host(request[http::field::host]);
  const std::string key(request[http::field::sec_websocket_key]);
  request.clear();
  request.insert(http::field::host, host);
  request.insert(http::field::connection, "Upgrade");
  request.insert(http::field::upgrade, "websocket");
  request.insert(http::field::sec_websocket_version, "13");
  request.insert(http::field::sec_websocket_key, key);
}

// Returns why `response` must be refused for naming what the request never
// offered, if it does: the request offers no subprotocol and no extension.
std::optional<std::string_view> unrequested_in(const websocket::response_type& response) {
  if (response.count(http::field::sec_websocket_protocol) != 0) {
    return "The WebSocket handshake response selected a subprotocol that was not offered";
  }
  if (response.count(http::field::sec_websocket_extensions) != 0) {
    return "The WebSocket handshake response selected an extension that was not offered";
  }
  return std::nullopt;
}

// Opens `socket` for `address` close-on-exec from its first instant: a child
// that another thread starts meanwhile (os.system, subprocess) must not hold
// the connection open after the client has closed it. Asio's own open() leaves
// the descriptor inheritable.
error_code open_close_on_exec(Socket& socket, const tcp::endpoint& address) {
  const tcp protocol = address.protocol();
#ifdef SOCK_CLOEXEC
  const int fd = ::socket(protocol.family(), protocol.type() | SOCK_CLOEXEC, protocol.protocol());
  if (fd < 0) return {errno, boost::system::system_category()};
  error_code ec;
  socket.assign(protocol, fd, ec);
  if (ec) ::close(fd);
  return ec;
#else
  error_code ec;
  socket.open(protocol, ec);
  if (!ec && ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC) < 0) {
    ec = {errno, boost::system::system_category()};
  }
  return ec;
#endif
}

// Connects to the first address that accepts; the error is that of the last
// address tried. Stops as soon as the deadline has closed the attempt.
net::awaitable<error_code> connect_first(Socket& socket,
                                         const std::vector<tcp::endpoint>& addresses,
                                         const Deadline& deadline) {
  error_code ec = net::error::host_not_found;
  for (const auto& address : addresses) {
    error_code ignored;
    socket.close(ignored);
    ec = open_close_on_exec(socket, address);
    if (!ec) std::tie(ec) = co_await socket.async_connect(address, use_tuple);
    if (!ec || deadline.aborted()) break;
  }
  co_return ec;
}

// Returns the io_context behind `executor`: sockets live on io_contexts only.
net::io_context& io_context_of(const net::any_io_executor& executor) {
  using plain = net::io_context::executor_type;
  using tracked =
      decltype(net::prefer(std::declval<plain>(), net::execution::outstanding_work.tracked));
  if (const auto* io = executor.target<plain>()) return io->context();
  if (const auto* io = executor.target<tracked>()) return io->context();
  throw std::logic_error("a QuorlClient runs on an io_context");
}

}  // namespace

namespace detail {

net::awaitable<OpenResult> open(std::string url, Clock::duration limit) {
  const auto executor = co_await net::this_coro::executor;
  const auto fail = [&url](std::string reason) {
    return std::unexpected(QuorlError::ConnectFailed{url, std::move(reason)});
  };
  const auto endpoint = parse_ws_url(url);
  if (!endpoint) co_return fail("not a valid URL");

  WebSocket ws(io_context_of(executor));
  Socket& socket = beast::get_lowest_layer(ws);
  const Deadline deadline(executor, Clock::now() + limit, socket);
  constexpr std::string_view timed_out = "handshake timed out";

  // Resolve the host
  const auto addresses = co_await addresses_of(*endpoint, deadline.at());
  if (!addresses || deadline.aborted()) co_return fail(std::string(timed_out));
  if (!*addresses) co_return fail(addresses->error().message());

  // Connect by TCP
  const error_code connect_error = co_await connect_first(socket, **addresses, deadline);
  if (deadline.aborted()) co_return fail(std::string(timed_out));
  if (connect_error) co_return fail(connect_error.message());

  // Perform the websocket handshake
  ws.set_option(websocket::stream_base::decorator(shape_request));
  ws.next_layer().capacity(READ_BUFFER_SIZE);
  ws.next_layer().buffer().reserve(READ_BUFFER_SIZE);
  websocket::response_type response;
  const auto [handshake_error] =
      co_await ws.async_handshake(response, endpoint->host_header, endpoint->target, use_tuple);
  if (deadline.aborted()) co_return fail(std::string(timed_out));
  if (handshake_error) co_return fail(handshake_error.message());
  if (const auto refusal = unrequested_in(response)) co_return fail(std::string(*refusal));
  socket.stop_blocking_writes();
  co_return OpenResult(std::move(ws));
}

namespace {

net::awaitable<ConnectResult> connect_url(QuorlClientBuilder builder, std::string url) {
  const auto port = parse_ws_port(url);
  if (!port) co_return std::unexpected(port.error());
  auto ws = co_await quorl_sdk::open(url);
  if (!ws) co_return std::unexpected(std::move(ws.error()));
  co_return QuorlClient(std::move(*ws), std::move(url), *port, std::move(builder));
}

net::awaitable<ConnectResult> connect_at(QuorlClientBuilder builder, std::uint16_t port) {
  std::string url = localhost_url(port);
  auto ws = co_await quorl_sdk::open(url);
  if (!ws) co_return std::unexpected(std::move(ws.error()));
  co_return QuorlClient(std::move(*ws), std::move(url), port, std::move(builder));
}

net::awaitable<ConnectResult> connect_in_range(QuorlClientBuilder builder, std::uint16_t first_port,
                                               std::uint16_t last_port) {
  // A wider counter, so that a range ending at 65535 stops there.
  for (std::uint32_t port = first_port; port <= last_port; ++port) {
    auto client = co_await connect_at(builder, static_cast<std::uint16_t>(port));
    if (client) co_return client;
  }
  co_return std::unexpected(QuorlError::NoServerFound{first_port, last_port});
}

}  // namespace
}  // namespace detail

net::awaitable<OpenResult> open(std::string url) {
  return detail::open(std::move(url), HANDSHAKE_TIMEOUT);
}

// The builder's operations hand its fields to coroutines by value, so the
// operation does not depend on the builder object staying alive.
net::awaitable<ConnectResult> QuorlClientBuilder::connect_url(std::string url) && {
  return detail::connect_url(std::move(*this), std::move(url));
}

net::awaitable<ConnectResult> QuorlClientBuilder::connect_at(std::uint16_t port) && {
  return detail::connect_at(std::move(*this), port);
}

net::awaitable<ConnectResult> QuorlClientBuilder::connect_in_range(std::uint16_t first_port,
                                                                   std::uint16_t last_port) && {
  return detail::connect_in_range(std::move(*this), first_port, last_port);
}

}  // namespace quorl_sdk

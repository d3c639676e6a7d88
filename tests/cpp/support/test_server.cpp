#include "test_server.hpp"

#include <algorithm>
#include <bit>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/detail/hybi13.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <cstring>
#include <thread>

namespace quorl_test {
namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using boost::system::error_code;

constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

// Returns the value of header `name` in a raw HTTP request, ignoring case.
std::string header_value(const std::string& request, const std::string& name) {
  std::size_t line = request.find("\r\n");
  while (line != std::string::npos && line + 2 < request.size()) {
    const std::size_t start = line + 2;
    const std::size_t end = request.find("\r\n", start);
    const std::string text = request.substr(start, end - start);
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos && colon == name.size() &&
        std::equal(name.begin(), name.end(), text.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      std::string value = text.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      return value;
    }
    line = end;
  }
  return {};
}

// Returns the number of values in a data frame of `type`.
std::size_t value_count(std::uint8_t type) {
  switch (type) {
    case 2:
      return 52;
    case 3:
      return 76;
    case 4:
      return 64;
    case 5:
      return 84;
    default:
      return 21;
  }
}

}  // namespace

struct TestServer::Running {
  net::io_context io{1};
  tcp::acceptor acceptor{io};
  std::thread thread;
};

TestServer::TestServer(std::vector<Behaviour> behaviours, std::uint16_t port,
                       const std::string& address)
    : behaviours_(std::move(behaviours)), running_(std::make_unique<Running>()) {
  const tcp::endpoint endpoint(net::ip::make_address(address), port);
  running_->acceptor.open(endpoint.protocol());
  running_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  running_->acceptor.bind(endpoint);
  running_->acceptor.listen();
  port_ = running_->acceptor.local_endpoint().port();
  net::co_spawn(running_->io, accept_loop(), net::detached);
  running_->thread = std::thread([this] { running_->io.run(); });
}

TestServer::~TestServer() {
  stop();
}

std::string TestServer::url() const {
  return "ws://127.0.0.1:" + std::to_string(port_);
}

std::vector<ConnectionRecord> TestServer::connections() const {
  std::lock_guard lock(mutex_);
  return records_;
}

bool TestServer::wait_for_connections(std::size_t count, std::chrono::milliseconds timeout) const {
  return wait_until([count](const auto& records) { return records.size() >= count; }, timeout);
}

bool TestServer::wait_for_end(std::size_t index, std::chrono::milliseconds timeout) const {
  return wait_until(
      [index](const auto& records) {
        return records.size() > index && records[index].ended.has_value();
      },
      timeout);
}

void TestServer::stop() {
  if (!running_) return;
  running_->io.stop();
  running_->thread.join();
  // Destroying the io_context destroys every connection with it.
  running_.reset();
}

void TestServer::record(std::size_t index, auto&& update) {
  {
    std::lock_guard lock(mutex_);
    update(records_[index]);
  }
  changed_.notify_all();
}

net::awaitable<void> TestServer::accept_loop() {
  for (;;) {
    auto [ec, socket] = co_await running_->acceptor.async_accept(use_tuple);
    if (ec) co_return;
    std::size_t index = 0;
    {
      std::lock_guard lock(mutex_);
      index = records_.size();
      ConnectionRecord record;
      record.accepted = Clock::now();
      records_.push_back(std::move(record));
    }
    changed_.notify_all();
    net::co_spawn(running_->io, serve(std::move(socket), index), net::detached);
  }
}

net::awaitable<void> TestServer::serve(tcp::socket socket, std::size_t index) {
  const Behaviour behaviour = behaviours_[std::min(index, behaviours_.size() - 1)];
  if (const auto* script = std::get_if<WebSocketScript>(&behaviour)) {
    co_await serve_websocket(std::move(socket), *script, index);
  } else if (const auto* upgrade = std::get_if<RawUpgrade>(&behaviour)) {
    co_await serve_raw_upgrade(std::move(socket), *upgrade, index);
  } else if (const auto* reply = std::get_if<HttpReply>(&behaviour)) {
    co_await serve_http(std::move(socket), *reply, index);
  } else {
    co_await serve_silent(std::move(socket), index);
  }
}

net::awaitable<void> TestServer::serve_websocket(tcp::socket socket, const WebSocketScript& script,
                                                 std::size_t index) {
  websocket::stream<tcp::socket> ws(std::move(socket));
  auto [accept_error] = co_await ws.async_accept(use_tuple);
  if (accept_error) {
    record(index, [&](auto& r) { r.ended = accept_error; });
    co_return;
  }
  ws.control_callback([this, index](websocket::frame_type kind, beast::string_view) {
    if (kind == websocket::frame_type::pong) record(index, [](auto& r) { ++r.pongs; });
  });
  bool open = true;
  for (const Step& step : script.steps) {
    error_code ec;
    if (const auto* binary = std::get_if<SendBinary>(&step)) {
      ws.binary(true);
      std::tie(ec, std::ignore) = co_await ws.async_write(net::buffer(binary->bytes), use_tuple);
    } else if (const auto* fragmented = std::get_if<SendFragmented>(&step)) {
      ws.binary(true);
      for (std::size_t i = 0; i < fragmented->pieces.size() && !ec; ++i) {
        const bool last = i + 1 == fragmented->pieces.size();
        std::tie(ec, std::ignore) =
            co_await ws.async_write_some(last, net::buffer(fragmented->pieces[i]), use_tuple);
      }
    } else if (const auto* text = std::get_if<SendText>(&step)) {
      ws.text(true);
      std::tie(ec, std::ignore) = co_await ws.async_write(net::buffer(text->text), use_tuple);
    } else if (std::holds_alternative<SendPing>(step)) {
      std::tie(ec) = co_await ws.async_ping({}, use_tuple);
    } else if (std::holds_alternative<SendPong>(step)) {
      std::tie(ec) = co_await ws.async_pong({}, use_tuple);
    } else if (std::holds_alternative<CloseHandshake>(step)) {
      std::tie(ec) = co_await ws.async_close(websocket::close_code::normal, use_tuple);
      record(index, [&](auto& r) { r.ended = ec ? ec : error_code(websocket::error::closed); });
      open = false;
    } else if (std::holds_alternative<Reset>(step)) {
      ws.next_layer().set_option(net::socket_base::linger(true, 0));
      ws.next_layer().close(ec);
      record(index, [&](auto& r) { r.ended = net::error::connection_reset; });
      open = false;
    } else if (std::holds_alternative<Hangup>(step)) {
      ws.next_layer().shutdown(tcp::socket::shutdown_both, ec);
      ws.next_layer().close(ec);
      record(index, [&](auto& r) { r.ended = net::error::eof; });
      open = false;
    } else if (const auto* raw = std::get_if<SendRaw>(&step)) {
      std::tie(ec, std::ignore) =
          co_await net::async_write(ws.next_layer(), net::buffer(raw->bytes), use_tuple);
    } else if (const auto* pause = std::get_if<Pause>(&step)) {
      net::steady_timer timer(ws.get_executor(), pause->duration);
      std::tie(ec) = co_await timer.async_wait(use_tuple);
    }
    if (!open) break;
    if (ec) {
      record(index, [&](auto& r) { r.ended = ec; });
      co_return;
    }
  }
  record(index, [](auto& r) { r.script_done = Clock::now(); });
  if (!open) co_return;
  beast::flat_buffer buffer;
  for (;;) {
    auto [ec, n] = co_await ws.async_read(buffer, use_tuple);
    if (ec) {
      record(index, [&](auto& r) { r.ended = ec; });
      co_return;
    }
    buffer.consume(n);
  }
}

net::awaitable<bool> TestServer::read_request(tcp::socket& socket, std::size_t index) {
  std::string request;
  auto [ec, n] =
      co_await net::async_read_until(socket, net::dynamic_buffer(request), "\r\n\r\n", use_tuple);
  record(index, [&](auto& r) { r.request = request; });
  if (ec) {
    record(index, [&](auto& r) { r.ended = ec; });
    co_return false;
  }
  co_return true;
}

net::awaitable<void> TestServer::drain(tcp::socket& socket, std::size_t index) {
  char scratch[4096];
  for (;;) {
    auto [ec, n] = co_await socket.async_read_some(net::buffer(scratch), use_tuple);
    if (ec) {
      record(index, [&](auto& r) { r.ended = ec; });
      co_return;
    }
  }
}

namespace {

// Writes `answer` at once, or one byte per segment with `pause` after each.
net::awaitable<error_code> write_answer(tcp::socket& socket, const std::string& answer,
                                        std::chrono::milliseconds pause) {
  if (pause.count() == 0) {
    auto [ec, n] = co_await net::async_write(socket, net::buffer(answer), use_tuple);
    co_return ec;
  }
  error_code ec;
  socket.set_option(tcp::no_delay(true), ec);
  net::steady_timer timer(socket.get_executor());
  for (std::size_t at = 0; at < answer.size() && !ec; ++at) {
    std::tie(ec, std::ignore) =
        co_await net::async_write(socket, net::buffer(answer.data() + at, 1), use_tuple);
    timer.expires_after(pause);
    co_await timer.async_wait(use_tuple);
  }
  co_return ec;
}

}  // namespace

net::awaitable<void> TestServer::serve_raw_upgrade(tcp::socket socket, const RawUpgrade& upgrade,
                                                   std::size_t index) {
  if (!co_await read_request(socket, index)) co_return;
  std::string request;
  {
    std::lock_guard lock(mutex_);
    request = records_[index].request;
  }
  websocket::detail::sec_ws_accept_type accept;
  websocket::detail::make_sec_ws_accept(accept, header_value(request, "Sec-WebSocket-Key"));
  std::string answer =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " +
      std::string(accept.data(), accept.size()) + "\r\n" + upgrade.extra_headers + "\r\n";
  answer.append(upgrade.after_response.begin(), upgrade.after_response.end());
  answer.resize(std::min(answer.size(), upgrade.stall_after.value_or(answer.size())));
  const error_code ec = co_await write_answer(socket, answer, upgrade.byte_pause);
  if (ec) {
    record(index, [&](auto& r) { r.ended = ec; });
    co_return;
  }
  record(index, [](auto& r) { r.script_done = Clock::now(); });
  co_await drain(socket, index);
}

net::awaitable<void> TestServer::serve_http(tcp::socket socket, const HttpReply& reply,
                                            std::size_t index) {
  if (!co_await read_request(socket, index)) co_return;
  co_await net::async_write(socket, net::buffer(reply.response), use_tuple);
  error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  record(index, [](auto& r) { r.script_done = Clock::now(); });
  co_await drain(socket, index);
}

net::awaitable<void> TestServer::serve_silent(tcp::socket socket, std::size_t index) {
  std::string received;
  char scratch[4096];
  for (;;) {
    auto [ec, n] = co_await socket.async_read_some(net::buffer(scratch), use_tuple);
    if (ec) {
      record(index, [&](auto& r) {
        r.request = received;
        r.ended = ec;
      });
      co_return;
    }
    received.append(scratch, n);
  }
}

std::uint16_t unused_port() {
  net::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
  return acceptor.local_endpoint().port();
}

bool port_is_free(std::uint16_t port) {
  net::io_context io;
  tcp::acceptor acceptor(io);
  error_code ec;
  acceptor.open(tcp::v4(), ec);
  acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  acceptor.bind(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
  return !ec;
}

Bytes hello(std::uint16_t version) {
  return {0x01, static_cast<std::uint8_t>(version & 0xff), static_cast<std::uint8_t>(version >> 8)};
}

Bytes data_frame(std::uint8_t type, double offset, std::uint8_t side) {
  const bool hand = type == 4 || type == 5 || type == 7;
  Bytes frame{type};
  if (hand) frame.push_back(side);
  for (std::size_t k = 0; k < value_count(type); ++k) {
    const double value = static_cast<double>(k) + offset;
    std::uint8_t raw[8];
    std::memcpy(raw, &value, 8);
    if constexpr (std::endian::native == std::endian::big) std::reverse(raw, raw + 8);
    frame.insert(frame.end(), raw, raw + 8);
  }
  return frame;
}

Bytes server_frame(const Bytes& payload) {
  Bytes frame;
  frame.push_back(0x82);
  if (payload.size() < 126) {
    frame.push_back(static_cast<std::uint8_t>(payload.size()));
  } else {
    frame.push_back(126);
    frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<std::uint8_t>(payload.size() & 0xff));
  }
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

SendFragmented fragmented(const Bytes& bytes, std::size_t count) {
  SendFragmented message;
  const std::size_t piece = bytes.size() / count;
  for (std::size_t i = 0; i < count; ++i) {
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(i * piece);
    message.pieces.emplace_back(
        begin, i + 1 == count ? bytes.end() : begin + static_cast<std::ptrdiff_t>(piece));
  }
  return message;
}

Bytes masked_binary_frame(const Bytes& payload) {
  const std::uint8_t mask[4] = {0x11, 0x22, 0x33, 0x44};
  Bytes frame;
  frame.push_back(0x82);
  frame.push_back(static_cast<std::uint8_t>(0x80 | payload.size()));
  for (std::uint8_t byte : mask) frame.push_back(byte);
  for (std::size_t i = 0; i < payload.size(); ++i) frame.push_back(payload[i] ^ mask[i % 4]);
  return frame;
}

std::string http_not_found() {
  return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

}  // namespace quorl_test

#include <filesystem>

#include "client_helpers.hpp"

namespace quorl_test {

int open_descriptor_count() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

}  // namespace quorl_test

// Streams hand-landmark frames from a local sender that writes as fast as it
// can, and prints the client's frames per second and CPU time per frame for
// both ways of taking a step (QuorlClient::read_next, and Runtime::run of the
// coroutine QuorlClient::next), beside the cost of decoding the frame alone.
//
//   cmake -S . -B build/bench -G Ninja -DQUORL_BUILD_BENCH=ON -DQUORL_BUILD_MODULE=OFF
//         -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/bench && build/bench/bench/client_stream [frames]

#include <time.h>

#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/websocket/detail/hybi13.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "quorl_protocol/decode.hpp"
#include "quorl_sdk/builder.hpp"
#include "quorl_sdk/runtime.hpp"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr std::size_t FRAMES_PER_WRITE = 256;

// Returns the CPU time the calling thread has used, in seconds.
double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Returns a hand-landmark frame (type 5, side 1, 84 values).
std::vector<std::uint8_t> hand_landmarks() {
  std::vector<std::uint8_t> frame{5, 1};
  for (int k = 0; k < 84; ++k) {
    const double value = k * 0.25;
    std::uint8_t raw[8];
    std::memcpy(raw, &value, 8);
    frame.insert(frame.end(), raw, raw + 8);
  }
  return frame;
}

// Returns `payload` (below 64 KiB) as an unmasked binary WebSocket frame.
std::string websocket_frame(const std::vector<std::uint8_t>& payload) {
  std::string out{'\x82'};
  if (payload.size() < 126) {
    out += static_cast<char>(payload.size());
  } else {
    out +=
        {'\x7e', static_cast<char>(payload.size() >> 8), static_cast<char>(payload.size() & 0xff)};
  }
  out.append(payload.begin(), payload.end());
  return out;
}

// Accepts one client, completes its handshake, sends a hello and then
// `count` frames in large batches, and closes.
void send_frames(tcp::acceptor& acceptor, std::size_t count) {
  tcp::socket socket = acceptor.accept();
  std::string request;
  net::read_until(socket, net::dynamic_buffer(request), "\r\n\r\n");
  const std::size_t key_at = request.find("Sec-WebSocket-Key: ") + 19;
  const std::string key = request.substr(key_at, request.find("\r\n", key_at) - key_at);
  boost::beast::websocket::detail::sec_ws_accept_type accept;
  boost::beast::websocket::detail::make_sec_ws_accept(accept, key);
  const std::string response =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " +
      std::string(accept.data(), accept.size()) + "\r\n\r\n" + websocket_frame({1, 4, 0});
  net::write(socket, net::buffer(response));
  std::string batch;
  const std::string frame = websocket_frame(hand_landmarks());
  for (std::size_t i = 0; i < FRAMES_PER_WRITE; ++i) batch += frame;
  for (std::size_t sent = 0; sent < count; sent += FRAMES_PER_WRITE) {
    const std::size_t frames = std::min(FRAMES_PER_WRITE, count - sent);
    net::write(socket, net::buffer(batch.data(), frames * frame.size()));
  }
  boost::system::error_code ended;
  socket.shutdown(tcp::socket::shutdown_send, ended);
  char scratch[256];
  while (!ended) socket.read_some(net::buffer(scratch), ended);
}

struct Figures {
  std::size_t frames = 0;
  double frames_per_second = 0;
  double cpu_per_frame = 0;
};

// Streams `count` frames through a fresh client, taking each step with `step`.
template <class Step>
Figures stream(std::size_t count, Step step) {
  net::io_context server_io;
  tcp::acceptor acceptor(server_io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
  std::thread sender([&] { send_frames(acceptor, count); });
  Figures figures;
  {
    quorl_sdk::Runtime runtime;
    auto client = runtime.run(quorl_sdk::QuorlClientBuilder{
        .reconnect = false, .base_delay = {}, .max_delay = {}, .max_retries = 0}
                                  .connect_at(acceptor.local_endpoint().port()));
    if (!client) {
      std::fprintf(stderr, "%s\n", client.error().message().c_str());
      std::exit(1);
    }
    const auto wall_start = std::chrono::steady_clock::now();
    const double cpu_start = thread_cpu_seconds();
    for (;;) {
      const quorl_sdk::NextResult result = step(runtime, *client);
      if (!result || !*result) break;
      ++figures.frames;
    }
    const double cpu = thread_cpu_seconds() - cpu_start;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    figures.frames_per_second = static_cast<double>(figures.frames) / wall;
    figures.cpu_per_frame = cpu / static_cast<double>(figures.frames);
  }
  sender.join();
  return figures;
}

// Times `decode` alone on the frame, in CPU seconds per call.
double decode_cost() {
  const auto frame = hand_landmarks();
  constexpr int rounds = 2'000'000;
  double sink = 0;
  const double start = thread_cpu_seconds();
  for (int i = 0; i < rounds; ++i) {
    const auto message = quorl_protocol::decode(frame);
    sink += std::get<quorl_protocol::HandLandmarks>(*message).landmarks[20][3];
  }
  const double cost = (thread_cpu_seconds() - start) / rounds;
  if (sink < 0) std::puts("");
  return cost;
}

void print(const char* name, const Figures& figures) {
  std::printf("%-22s %8zu frames %10.0f frames/s %8.3f us CPU/frame\n", name, figures.frames,
              figures.frames_per_second, figures.cpu_per_frame * 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::stoul(argv[1]) : 200'000;
  const Figures blocking = stream(
      count, [](quorl_sdk::Runtime& runtime, auto& client) { return client.read_next(runtime); });
  const Figures coroutine = stream(
      count, [](quorl_sdk::Runtime& runtime, auto& client) { return runtime.run(client.next()); });
  print("read_next(runtime)", blocking);
  print("runtime.run(next())", coroutine);
  std::printf("%-22s %43.3f us CPU/frame\n", "decode alone", decode_cost() * 1e6);
  return blocking.frames == count && coroutine.frames == count ? 0 : 1;
}

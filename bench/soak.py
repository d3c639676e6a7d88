"""An hour-long soak: clients stream from a faulty simulator for as long as asked.

    python bench/soak.py [--seconds 3600] [--clients 4] [--report 60]

Not part of CI; run it on demand (``./scripts/load --soak`` runs it for an
hour). The simulator runs in a process of its own at 120 ticks a second
(1,080 frames a second), restarts every 60 s (away for 1 s), malforms 1% of its
frames and sends text, ping and pong after every tick. Each client streams
with reconnection on and counts frames and refused frames. Every `--report`
seconds the script prints the frames so far and its resident memory,
descriptors and threads. Exits with status 1 when a client fails in any other
way or no frame arrives for a whole report period, when memory grew past a
small slack between the first and the last report, or when descriptors or
threads differ before and after the clients.
"""

from __future__ import annotations

import argparse
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _quorl_sdk  # noqa: E402
from load_common import descriptors, fail, rss_kib, threads  # noqa: E402

RSS_SLACK_KIB = 2048


class Client:
    """One streaming client on a thread of its own."""

    def __init__(self, url: str, deadline: float) -> None:
        self.url = url
        self.deadline = deadline
        self.frames = 0
        self.refused = 0
        self.problem: str | None = None
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self) -> None:
        """Streams until the deadline; a refused frame is counted, anything else is a problem."""
        try:
            client = _quorl_sdk.connect_url_raw(self.url, reconnect=True, base_delay_ms=100,
                                                max_delay_ms=2000, max_retries=100)
            while time.monotonic() < self.deadline:
                try:
                    next(client)
                    self.frames += 1
                except ValueError:
                    self.refused += 1
            client.close()
        except StopIteration:
            self.problem = "the stream ended"
        except Exception as error:  # noqa: BLE001 - reported at the end
            self.problem = repr(error)


def free_port() -> int:
    """Returns a port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3600)
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--report", type=float, default=60)
    args = parser.parse_args()

    port = free_port()
    simulator = subprocess.Popen(
        [sys.executable, "-m", "quorl_sdk", "simulate", "--port", str(port), "--rate", "120",
         "--restart-after", "60", "--restart-gap", "1", "--malformed", "0.01", "--chatter"],
        stdout=subprocess.PIPE, text=True)
    try:
        assert simulator.stdout is not None
        print(f"soak: simulator: {simulator.stdout.readline().strip()}", flush=True)
        baseline = (descriptors(), threads())
        start = time.monotonic()
        clients = [Client(f"ws://127.0.0.1:{port}", start + args.seconds)
                   for _ in range(args.clients)]
        for client in clients:
            client.thread.start()
        reports: list[tuple[int, int, int]] = []
        last_frames = 0
        while any(client.thread.is_alive() for client in clients):
            time.sleep(min(args.report, max(0.0, start + args.seconds - time.monotonic()) + 1))
            frames = sum(client.frames for client in clients)
            figures = (rss_kib(), descriptors(), threads())
            reports.append(figures)
            print(f"soak: {time.monotonic() - start:7.0f} s, {frames:>11,} frames, "
                  f"{sum(c.refused for c in clients):,} refused, resident "
                  f"{figures[0] / 1024:.1f} MiB, descriptors {figures[1]}, threads {figures[2]}",
                  flush=True)
            if frames == last_frames and any(c.thread.is_alive() for c in clients):
                fail("no frame arrived during a whole report period")
            last_frames = frames
        for client in clients:
            client.thread.join()
    finally:
        simulator.terminate()
        simulator.wait(10)

    problems = [client.problem for client in clients if client.problem]
    if problems:
        fail("; ".join(problems))
    growth = reports[-1][0] - reports[0][0]
    after = (descriptors(), threads())
    print(f"soak: {args.clients} clients, {sum(c.frames for c in clients):,} frames in "
          f"{args.seconds:.0f} s; resident memory grew {growth} KiB from the first report to "
          f"the last; descriptors and threads {baseline} before the clients, {after} after")
    if growth > RSS_SLACK_KIB:
        fail(f"resident memory grew by {growth} KiB")
    if after != baseline:
        fail(f"descriptors and threads went from {baseline} to {after}")


if __name__ == "__main__":
    main()

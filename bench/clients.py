"""Runs every client of a Quorl stream side by side, in one run, and checks the
package against its speed targets.

    python bench/clients.py [--frames N] [--rounds N] [--clients NAME,...] [--quick] [--strict]

The clients: the native RawClient (`_quorl_sdk.connect_url_raw`), the
package's blocking iterator (lossless), its latest mode, its asyncio client,
its `pull()` batches, its `pull_into()` into buffers made once, a hand-written pure-Python socket reader and aiohttp,
both decoding with `struct`. A server in a process of its own
(bench/load_server.py) streams hand-landmark frames on 127.0.0.1.

For each client, as medians over interleaved rounds:
- frames/s and CPU time per frame (the CPU time of this process, every thread
  included, over the frames read; "threads" is the part spent outside the
  program's own thread, by the package's engine) for `--frames` frames sent
  as fast as the connection takes them;
- latency at 1 kHz: the server writes `time.monotonic()` into the first value
  of each frame, and the program subtracts it from `time.monotonic()` when it
  gets the frame (p50 and p99); where frames carry their arrival time, the
  part of it spent before arrival is shown too.
Then resident memory over `--memory-frames` frames in each mode of the
package, and the time of `import quorl_sdk` in fresh processes.

Every client's values are first checked against the frames sent. A path the
installed package lacks is reported as not available. Prints PASS or MISS per
target (N/A where it could not be measured); exits 1 when a client delivers
wrong values or fails, and on a missed or unmeasured target only with --strict.
"""

from __future__ import annotations

import argparse
import faulthandler
import os
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _quorl_sdk  # noqa: E402
from contenders import Contender, all_contenders  # noqa: E402
from load_common import load_server, rss_kib  # noqa: E402
from load_server import sample_frames  # noqa: E402

#: Frames at the start of a latency run left out: they may meet a client still setting up.
LATENCY_WARMUP = 20
#: Frames of the values check, per client.
CHECKED_FRAMES = 3000
#: Resident memory that may grow over the memory run and still count as flat.
FLAT_KIB = 1024
#: The package's modes whose memory is watched over a long run.
MEMORY_MODES = ("blocking", "latest", "asyncio", "pull()", "pull_into()")
#: Seconds after which a run that has not ended counts as hung.
RUN_LIMIT_S = 300
#: Modules that `import quorl_sdk` should leave alone.
HEAVY_MODULES = ("asyncio", "typing", "numpy")


# Measurements of one client.


@dataclass
class Figures:
    """What the runs of one client measured, run by run."""

    frames_per_s: list[float] = field(default_factory=list)
    cpu_us_per_frame: list[float] = field(default_factory=list)
    # The share of the CPU time spent by threads other than the program's.
    other_threads_us_per_frame: list[float] = field(default_factory=list)
    p50_us: list[float] = field(default_factory=list)
    p99_us: list[float] = field(default_factory=list)
    arrival_p50_us: list[float] = field(default_factory=list)
    arrival_p99_us: list[float] = field(default_factory=list)

    def median(self, name: str) -> float | None:
        runs = getattr(self, name)
        return statistics.median(runs) if runs else None


def percentile(ordered: list[float], share: float) -> float:
    """Returns the nearest-rank percentile of an ordered, non-empty list."""
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def run_throughput(contender: Contender, url: str, frames: int, figures: Figures) -> str | None:
    """Reads one stream of `frames` frames and notes frames/s and CPU per frame."""
    wall, cpu, mine = time.perf_counter(), time.process_time(), time.thread_time()
    read = contender.count(url)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    mine = time.thread_time() - mine
    if read != frames:
        return f"read {read} of {frames} frames"
    figures.frames_per_s.append(read / wall)
    figures.cpu_us_per_frame.append(cpu / read * 1e6)
    figures.other_threads_us_per_frame.append((cpu - mine) / read * 1e6)
    return None


def run_latency(contender: Contender, url: str, figures: Figures) -> str | None:
    """Reads one paced stream and notes p50 and p99 of the delays, in µs."""
    got: list[tuple[float, object]] = []
    contender.each(url, lambda receipt, frame: got.append((receipt, frame)))
    got = got[LATENCY_WARMUP:]
    if not got:
        return "no frame past the warm-up of the latency run"
    delays = sorted((receipt - frame[2][0]) * 1e6 for receipt, frame in got)
    figures.p50_us.append(percentile(delays, 0.5))
    figures.p99_us.append(percentile(delays, 0.99))
    if all(hasattr(frame, "time") for _, frame in got):
        arrivals = sorted((frame.time - frame[2][0]) * 1e6 for _, frame in got)
        figures.arrival_p50_us.append(percentile(arrivals, 0.5))
        figures.arrival_p99_us.append(percentile(arrivals, 0.99))
    return None


def check_values(contender: Contender, url: str, frames: int) -> str | None:
    """Reads `frames` sample frames; returns what differs from the frames sent, or None.

    A lossless client must hand over every frame in order; a latest-mode one
    frames that were sent, ending with the newest of each side.
    """
    expected = [_quorl_sdk.decode_frame(frame) for frame in sample_frames()]
    got: list[tuple] = []
    contender.each(url, lambda receipt, frame: got.append((frame[0], frame[1], list(frame[2]))))
    # The first value of a sample frame is its index.
    indices = [int(values[0]) for _, _, values in got]
    sent = [i % len(expected) for i in range(frames)]
    if contender.lossless and indices != sent:
        return f"wrong values: frames {indices[:3]}... in place of {sent[:3]}... " \
               f"({len(got)} of {frames})"
    if sent[-1] not in indices[-2:]:
        return "wrong values: the last frame sent is not among the last handed over"
    for frame in got:
        if frame != expected[int(frame[2][0])]:
            return f"wrong values: frame {frame[:2]} {frame[2][:3]}... differs from the frame sent"
    return None


# Memory and import time.


def memory_growth(contender: Contender, url: str) -> tuple[int, int]:
    """Reads one stream while sampling resident memory; returns (KiB at 10% of the run, growth)."""
    samples: list[tuple[float, int]] = []
    done = threading.Event()

    def sample() -> None:
        while not done.wait(0.02):
            samples.append((time.perf_counter(), rss_kib()))

    sampler = threading.Thread(target=sample)
    start = time.perf_counter()
    sampler.start()
    try:
        contender.count(url)
    finally:
        done.set()
        sampler.join()
    end, final = time.perf_counter(), rss_kib()
    baseline = next((kib for when, kib in samples if when >= start + (end - start) / 10), final)
    return baseline, final - baseline


def import_time(runs: int) -> tuple[float, list[str]]:
    """Returns the median ms of `import quorl_sdk` in fresh processes, and the heavy modules it loads."""
    command = [sys.executable, "-X", "importtime", "-c", "import quorl_sdk"]
    subprocess.run(command, capture_output=True, check=True)  # compiles what is not yet
    times = []
    for _ in range(runs):
        stderr = subprocess.run(command, capture_output=True, text=True, check=True).stderr
        # Lines read "import time: <self us> | <cumulative us> | <module>".
        times.append(next(int(line.split("|")[1]) / 1000 for line in stderr.splitlines()
                          if line.split("|")[-1].strip() == "quorl_sdk"))
    probe = ("import sys; before = set(sys.modules); import quorl_sdk; "
             f"print(*(m for m in {HEAVY_MODULES!r} if m in sys.modules and m not in before))")
    loaded = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                            check=True).stdout.split()
    return statistics.median(times), loaded


# The targets.


@dataclass
class Verdicts:
    """PASS, MISS or not available, per target, in the order checked."""

    lines: list[tuple[str, str, str]] = field(default_factory=list)

    def check(self, target: str, measured: Callable[[], tuple[str, bool]] | None) -> None:
        """Notes `target`; `measured` returns the figure and whether it meets it, None if unmeasured."""
        if measured is None:
            self.lines.append((target, "not measured", "N/A"))
            return
        text, met = measured()
        self.lines.append((target, text, "PASS" if met else "MISS"))

    @property
    def missed(self) -> int:
        """Targets missed or not measured."""
        return sum(verdict != "PASS" for _, _, verdict in self.lines)


def check_speed(results: dict[str, Figures], verdicts: Verdicts) -> None:
    """Checks the package's clients against RawClient and aiohttp."""

    def medians(name: str, other: str, figure: str) -> tuple[float, float] | None:
        mine, theirs = results.get(name), results.get(other)
        if mine is None or theirs is None or not getattr(mine, figure) \
                or not getattr(theirs, figure):
            return None
        return mine.median(figure), theirs.median(figure)  # type: ignore[return-value]

    def ratio(name: str, figure: str, low: float = 0.0, high: float = float("inf")):
        pair = medians(name, "RawClient", figure)
        if pair is None:
            return None
        value = pair[0] / pair[1]
        return lambda: (f"{value:.2f}x", low <= value <= high)

    def within(name: str, figure: str, slack_us: float):
        pair = medians(name, "RawClient", figure)
        if pair is None:
            return None
        return lambda: (f"{pair[0]:.0f} vs {pair[1]:.0f} µs", pair[0] <= pair[1] + slack_us)

    def below(name: str, other: str, figure: str):
        pair = medians(name, other, figure)
        if pair is None:
            return None
        return lambda: (f"{pair[0]:.0f} vs {pair[1]:.0f} µs", pair[0] < pair[1])

    verdicts.check("blocking frames/s >= 0.9x RawClient", ratio("blocking", "frames_per_s", 0.9))
    verdicts.check("blocking CPU/frame <= 1.2x RawClient",
                   ratio("blocking", "cpu_us_per_frame", high=1.2))
    verdicts.check("asyncio frames/s >= 0.8x RawClient", ratio("asyncio", "frames_per_s", 0.8))
    verdicts.check("pull() frames/s >= 2.5x RawClient", ratio("pull()", "frames_per_s", 2.5))
    verdicts.check("pull_into() frames/s >= 4x RawClient",
                   ratio("pull_into()", "frames_per_s", 4.0))
    verdicts.check("pull_into() CPU/frame <= 0.5x RawClient",
                   ratio("pull_into()", "cpu_us_per_frame", high=0.5))
    verdicts.check("blocking p50 <= RawClient + 15 µs", within("blocking", "p50_us", 15))
    verdicts.check("blocking p99 <= RawClient + 50 µs", within("blocking", "p99_us", 50))
    verdicts.check("asyncio p50 <= 1.5x RawClient", ratio("asyncio", "p50_us", high=1.5))
    verdicts.check("asyncio p99 <= 1.5x RawClient", ratio("asyncio", "p99_us", high=1.5))
    verdicts.check("asyncio p50 below aiohttp", below("asyncio", "aiohttp", "p50_us"))
    verdicts.check("asyncio p99 below aiohttp", below("asyncio", "aiohttp", "p99_us"))


# Output.


def print_table(results: dict[str, Figures], contenders: list[Contender]) -> None:
    """Prints the medians of every client, with frames/s and CPU as ratios to RawClient."""
    raw = results.get("RawClient")

    def versus_raw(value: float, figure: str) -> str:
        return f"{value / raw.median(figure):>7.2f}" if raw else f"{'-':>7}"

    print(f"{'client':<20}{'frames/s':>11}{'x Raw':>7}{'CPU µs/frame':>14}{'x Raw':>7}"
          f"{'threads':>9}{'p50 µs':>8}{'p99 µs':>8}   arrival p50/p99 µs")
    for contender in contenders:
        mine = results.get(contender.name)
        if contender.missing:
            print(f"{contender.name:<20} not available: the package has no {contender.missing}")
            continue
        if mine is None:
            print(f"{contender.name:<20} failed (below)")
            continue
        fps, cpu = mine.median("frames_per_s"), mine.median("cpu_us_per_frame")
        line = (f"{contender.name:<20}{fps:>11,.0f}{versus_raw(fps, 'frames_per_s')}"
                f"{cpu:>14.2f}{versus_raw(cpu, 'cpu_us_per_frame')}"
                f"{mine.median('other_threads_us_per_frame'):>9.2f}")
        if contender.delivers:
            line += f"{mine.median('p50_us'):>8.0f}{mine.median('p99_us'):>8.0f}"
            if mine.arrival_p50_us:
                line += (f"   {mine.median('arrival_p50_us'):.0f} / "
                         f"{mine.median('arrival_p99_us'):.0f}")
            elif contender.stamps_frames:
                line += "   not available: frames carry no time"
        print(line)


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=200_000, help="frames per throughput run")
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds of every client")
    parser.add_argument("--latency-frames", type=int, default=1000, help="frames per latency run")
    parser.add_argument("--rate", type=float, default=1000.0, help="Hz of the latency runs")
    parser.add_argument("--memory-frames", type=int, default=1_000_000)
    parser.add_argument("--import-runs", type=int, default=9)
    parser.add_argument("--clients", type=lambda text: text.split(","), default=None,
                        help="only these clients (names as printed; RawClient always runs)")
    parser.add_argument("--quick", action="store_true",
                        help="small counts, one round: a smoke run of a few seconds")
    parser.add_argument("--strict", action="store_true",
                        help="exit 1 when a target is missed or could not be measured")
    args = parser.parse_args()
    if args.quick:
        args.frames, args.rounds, args.latency_frames = 20_000, 1, 200
        args.memory_frames, args.import_runs = 100_000, 3
    return args


class Bench:
    """The runs of one benchmark: figures per client, and the clients that failed."""

    def __init__(self, contenders: list[Contender]) -> None:
        self.contenders = contenders
        self.results = {c.name: Figures() for c in contenders if not c.missing}
        self.memory: dict[str, tuple[int, int]] = {}
        self.failed: dict[str, str] = {}
        # The machine's load average (1 minute) before and after the runs: others'
        # work on the same cores weighs on every figure, the latencies most.
        self.load = (os.getloadavg()[0], 0.0)

    def attempt(self, contender: Contender, action: Callable[[], str | None]) -> None:
        """Runs `action` unless `contender` failed before; notes its failure, bounded in time."""
        if contender.missing or contender.name in self.failed:
            return
        # A client that hangs ends the benchmark with every thread's stack.
        faulthandler.dump_traceback_later(RUN_LIMIT_S, exit=True)
        try:
            problem = action()
        except Exception as error:  # noqa: BLE001 - reported with the client's name
            problem = repr(error)
        finally:
            faulthandler.cancel_dump_traceback_later()
        if problem:
            self.failed[contender.name] = problem

    def run(self, args: argparse.Namespace, base: str) -> None:
        """Checks every client's values, then runs the interleaved rounds and the memory runs."""
        for contender in self.contenders:
            if contender.delivers:
                self.attempt(contender, lambda c=contender: check_values(
                    c, f"{base}/frames/{CHECKED_FRAMES}", CHECKED_FRAMES))
        runnable = [c for c in self.contenders if not c.missing]
        paced = f"{base}/paced/{args.latency_frames}/{args.rate:g}"
        for round_ in range(args.rounds):
            # Each round starts with another client, so that none always runs first.
            shift = round_ % len(runnable)
            order = runnable[shift:] + runnable[:shift]
            for contender in order:
                self.attempt(contender, lambda c=contender: run_throughput(
                    c, f"{base}/frames/{args.frames}", args.frames, self.results[c.name]))
            for contender in order:
                if contender.delivers:
                    self.attempt(contender, lambda c=contender: run_latency(
                        c, paced, self.results[c.name]))
        for contender in self.contenders:
            if contender.name in MEMORY_MODES:
                self.attempt(contender, lambda c=contender: self._note_memory(
                    c, f"{base}/frames/{args.memory_frames}"))
        self.load = (self.load[0], os.getloadavg()[0])

    def _note_memory(self, contender: Contender, url: str) -> None:
        self.memory[contender.name] = memory_growth(contender, url)

    def succeeded(self) -> dict[str, Figures]:
        """Returns the figures of the clients that neither failed nor were missing."""
        return {name: figures for name, figures in self.results.items()
                if name not in self.failed}


def report(bench: Bench, args: argparse.Namespace, import_ms: float, heavy: list[str]) -> Verdicts:
    """Prints every figure and returns the verdicts on the targets."""
    results = bench.succeeded()
    print(f"{args.frames:,} hand-landmark frames per throughput run; latency over "
          f"{args.latency_frames:,} frames at {args.rate:g} Hz; medians of {args.rounds} "
          f"interleaved rounds; server in its own process; {os.cpu_count()} CPUs, load "
          f"average {bench.load[0]:.1f} before the runs and {bench.load[1]:.1f} after")
    print_table(results, bench.contenders)
    for name, problem in bench.failed.items():
        print(f"FAILED {name}: {problem}")
    if "asyncio" in results and "aiohttp" in results:
        ratio = (results["asyncio"].median("frames_per_s")
                 / results["aiohttp"].median("frames_per_s"))
        print(f"asyncio / aiohttp, frames/s: {ratio:.2f}")

    print(f"\nresident memory over {args.memory_frames:,} frames "
          "(from 10% of the run to its end):")
    for mode in MEMORY_MODES:
        if mode in bench.memory:
            baseline, growth = bench.memory[mode]
            print(f"  {mode:<11} {baseline:,} KiB, growth {growth:+,} KiB")
        else:
            print(f"  {mode:<11} not available")
    print(f"\nimport quorl_sdk: {import_ms:.1f} ms (median of {args.import_runs} fresh "
          f"processes); of {', '.join(HEAVY_MODULES)} it imports {', '.join(heavy) or 'none'}")

    verdicts = Verdicts()
    check_speed(results, verdicts)
    for mode in MEMORY_MODES:
        growth = bench.memory.get(mode)
        verdicts.check(f"{mode} memory flat (growth <= {FLAT_KIB} KiB)",
                       None if growth is None else
                       (lambda kib=growth[1]: (f"{kib:+,} KiB", kib <= FLAT_KIB)))
    verdicts.check("import quorl_sdk <= 15 ms", lambda: (f"{import_ms:.1f} ms", import_ms <= 15))
    verdicts.check(f"import quorl_sdk loads none of {', '.join(HEAVY_MODULES)}",
                   lambda: (", ".join(heavy) or "none", not heavy))
    print("\ntargets:")
    for target, measured, verdict in verdicts.lines:
        print(f"  {verdict:<4}  {target:<52} {measured}")
    return verdicts


def main() -> None:
    args = parse_arguments()
    contenders = all_contenders()
    if args.clients:
        contenders = [c for c in contenders if c.name == "RawClient" or c.name in args.clients]
    bench = Bench(contenders)
    try:
        with load_server() as port:
            bench.run(args, f"ws://127.0.0.1:{port}")
    finally:
        for contender in bench.contenders:
            contender.close()
    import_ms, heavy = import_time(args.import_runs)
    verdicts = report(bench, args, import_ms, heavy)
    if bench.failed or (args.strict and verdicts.missed):
        sys.exit(1)


if __name__ == "__main__":
    main()

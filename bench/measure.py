#!/usr/bin/env python3
"""Measures the program beside iputils ping against one answering host and prints one table.

Runs inside the lab's client namespace (run-bench.sh starts it there), so every program it starts
sends from the client. Figures:

  rtt       median round trip over 1,000 echoes at a 10 ms interval. This program prints 0.1 ms
            steps, so the preload probe (rtt_probe.so) also times the window its timer covers
            (right after the send returns to right after the receive returns) in nanoseconds, and
            the whole round trip as seen from user space (send entered to reply received).
  pacing    wall time of 1,000 echoes at a 1 ms interval over the ideal 1,000 x (1 ms + median
            round trip of that run), CPU time (user + system) per echo, and the gap from a reply
            to the next request.
  callgrind user-space instructions per echo: (Ir of 200 echoes - Ir of 1 echo) / 199.
  start-up  wall time of a one-echo run (hyperfine, else repeated runs), median.
  dispatch  one pass over 200 answering addresses: (pass wall time - 200 x median round trip)
            / 200, the pass timed from the header line to the totals block as they are written.
"""

import argparse
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PAYLOAD = 56  # iputils' default, so both send 64-byte ICMP messages

TARGETS = {
    "rtt": 1.15,
    "pacing": 1.06,
    "cpu_share": 0.10,
    "instructions": 6000,
    "dispatch_us": 60.0,
}


def log(text):
    print(text, file=sys.stderr, flush=True)


def median(values):
    return statistics.median(values) if values else float("nan")


class Bench:
    def __init__(self, args):
        self.args = args
        self.binary = args.binary
        self.host = args.host
        self.work = tempfile.mkdtemp(prefix="quilvane-bench-")
        self.results = {}
        self.load = os.getloadavg()[0]

    # Programs --------------------------------------------------------------------------------

    def ours(self, *options):
        return [self.binary, self.host] + [str(option) for option in options]

    def iputils(self, *options):
        return [self.args.ping] + [str(option) for option in options] + [self.host]

    def probe_env(self, tag):
        env = dict(os.environ)
        env["LD_PRELOAD"] = self.args.probe
        env["QV_PROBE_FILE"] = os.path.join(self.work, tag + ".echoes")
        env["QV_PROBE_GAPS"] = os.path.join(self.work, tag + ".gaps")
        return env

    def probe_figures(self, tag):
        """(whole round trips, timer windows, gaps from a reply to the next send), all in ms."""
        whole, window, gaps = [], [], []
        with open(os.path.join(self.work, tag + ".echoes")) as echoes:
            for line in echoes:
                first, second = line.split()
                whole.append(int(first) / 1e6)
                window.append(int(second) / 1e6)
        path = os.path.join(self.work, tag + ".gaps")
        if os.path.exists(path):
            with open(path) as lines:
                gaps = [int(line) / 1e6 for line in lines]
        return whole, window, gaps

    def timed(self, command, env=None):
        """Runs command with its output in a file; returns (wall s, cpu s, output, exit code)."""
        out_path = os.path.join(self.work, "out.txt")
        with open(out_path, "wb") as out:
            started = time.monotonic()
            process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, env=env)
            _, status, usage = os.wait4(process.pid, 0)
            wall = time.monotonic() - started
        process.returncode = os.waitstatus_to_exitcode(status)
        with open(out_path, encoding="latin-1") as out:
            output = out.read()
        return wall, usage.ru_utime + usage.ru_stime, output, process.returncode

    def run_checked(self, command, env=None, expect_lines=None, pattern=None):
        wall, cpu, output, code = self.timed(command, env)
        if code != 0:
            raise RuntimeError("%s ended with %d:\n%s" % (" ".join(command), code, output[-2000:]))
        if expect_lines is not None:
            found = len(re.findall(pattern, output))
            if found != expect_lines:
                raise RuntimeError("%s: %d replies instead of %d" %
                                   (" ".join(command), found, expect_lines))
        return wall, cpu, output

    @staticmethod
    def our_times(output):
        return [float(value) for value in re.findall(r"^Reply\[\d+\] from .* time=([\d.]+) ms",
                                                      output, re.M)]

    @staticmethod
    def iputils_times(output):
        return [float(value) for value in re.findall(r"^\d+ bytes from .* time=([\d.]+) ms",
                                                      output, re.M)]

    # Measurements ----------------------------------------------------------------------------

    def warm_up(self):
        # Neighbour entries, page cache and the lab's first-packet costs are paid here.
        self.timed(self.ours("-n", 20, "-t", 1, "-s", PAYLOAD))
        self.timed(self.iputils("-c", 20, "-i", 0.002, "-q"))
        self.timed([self.binary, "-g", self.args.range, "-s", str(PAYLOAD)])

    def measure_rtt(self, count=1000):
        log("round trip: %d echoes at 10 ms each" % count)
        _, _, output = self.run_checked(self.ours("-n", count, "-t", 10, "-s", PAYLOAD),
                                        self.probe_env("rtt"), count, r"(?m)^Reply\[")
        printed = self.our_times(output)
        whole, window, _ = self.probe_figures("rtt")
        _, _, service_output = self.run_checked(
            self.ours("-n", count, "-t", 10, "-s", PAYLOAD, "-i"), self.probe_env("rtt-service"),
            count, r"(?m)^Reply\[")
        service_whole, _, _ = self.probe_figures("rtt-service")
        _, _, reference = self.run_checked(self.iputils("-c", count, "-i", 0.01), None, count,
                                           r"(?m)^\d+ bytes from")
        # The probe must see what the timer sees: each printed time is its window, rounded.
        agreeing = sum(1 for shown, measured in zip(printed, window)
                       if abs(shown - measured) <= 0.05 + 0.005)
        self.results["rtt"] = {
            "printed": median(printed),
            "window": median(window),
            "whole": median(whole),
            "service_printed": median(self.our_times(service_output)),
            "service_whole": median(service_whole),
            "iputils": median(self.iputils_times(reference)),
            "probe_agreement": agreeing / max(1, len(printed)),
        }

    def measure_pacing(self, count=1000, repeats=3):
        log("pacing: %d echoes at 1 ms each, %d runs each" % (count, repeats))
        ours, theirs = [], []
        for _ in range(repeats):
            wall, cpu, _ = self.run_checked(self.ours("-n", count, "-t", 1, "-s", PAYLOAD),
                                            self.probe_env("pacing"), count, r"(?m)^Reply\[")
            whole, _, gaps = self.probe_figures("pacing")
            ideal = count * (1.0 + median(whole)) / 1000.0
            ours.append({"ratio": wall / ideal, "cpu_us": cpu / count * 1e6,
                         "cpu_share": cpu / wall, "gap_median_us": (median(gaps) - 1.0) * 1000,
                         "gap_mean_us": (statistics.mean(gaps) - 1.0) * 1000, "wall": wall})
            wall, cpu, output = self.run_checked(self.iputils("-c", count, "-i", 0.001), None,
                                                 count, r"(?m)^\d+ bytes from")
            ideal = count * (1.0 + median(self.iputils_times(output))) / 1000.0
            theirs.append({"ratio": wall / ideal, "cpu_us": cpu / count * 1e6,
                           "cpu_share": cpu / wall, "wall": wall})
        pick = lambda runs: sorted(runs, key=lambda run: run["ratio"])[len(runs) // 2]
        self.results["pacing"] = {"ours": pick(ours), "iputils": pick(theirs)}

    def callgrind_ir(self, command, tag):
        out_file = os.path.join(self.work, tag + ".callgrind")
        self.run_checked([self.args.valgrind, "--tool=callgrind", "--callgrind-out-file=" +
                          out_file] + command)
        with open(out_file) as data:
            for line in data:
                if line.startswith("summary:") or line.startswith("totals:"):
                    return int(line.split()[1])
        raise RuntimeError("no instruction total in " + out_file)

    def measure_instructions(self, count=200):
        log("instructions: callgrind, %d echoes and 1 echo" % count)
        # Valgrind will not run a binary with file capabilities; a plain copy runs as root alike.
        plain_ping = os.path.join(self.work, "ping")
        shutil.copyfile(self.args.ping, plain_ping)
        os.chmod(plain_ping, 0o755)
        iputils = lambda *options: [plain_ping] + [str(o) for o in options] + [self.host]
        figures = {}
        for name, many, one in (
                ("ours", self.ours("-n", count, "-t", 10, "-s", PAYLOAD),
                 self.ours("-n", 1, "-s", PAYLOAD)),
                ("iputils", iputils("-c", count, "-i", 0.01, "-q"), iputils("-c", 1, "-q")),
        ):
            figures[name] = (self.callgrind_ir(many, name + "-many") -
                             self.callgrind_ir(one, name + "-one")) / (count - 1)
        self.results["instructions"] = figures

    def measure_start_up(self, rounds=6, runs=50):
        # Rounds take turns, so a machine that gets busier or quieter meanwhile favours neither.
        log("start-up: one-echo runs, %d rounds of %d each" % (rounds, runs))
        commands = {"ours": self.ours("-n", 1, "-s", PAYLOAD),
                    "iputils": self.iputils("-c", 1)}
        walls = {name: [] for name in commands}
        export = os.path.join(self.work, "hyperfine.json")
        for _ in range(rounds):
            for name, command in commands.items():
                if self.args.hyperfine:
                    subprocess.run([self.args.hyperfine, "-N", "--style", "none", "--warmup", "5",
                                    "--runs", str(runs), "--export-json", export,
                                    " ".join(command)], check=True, stdout=subprocess.DEVNULL)
                    with open(export) as data:
                        walls[name] += json.load(data)["results"][0]["times"]
                else:
                    walls[name] += [self.timed(command)[0] for _ in range(runs)]
        figures = {name: median(values) * 1000.0 for name, values in walls.items()}
        figures["tool"] = "hyperfine" if self.args.hyperfine else "repeated runs"
        self.results["start_up"] = figures

    def timed_pass(self, env):
        """Wall time of one pass, from the header line to the totals block as written."""
        command = [self.binary, "-g", self.args.range, "-s", PAYLOAD]
        process = subprocess.Popen([str(part) for part in command], stdout=subprocess.PIPE,
                                   env=env)
        text, header_at, totals_at = b"", None, None
        while True:
            chunk = os.read(process.stdout.fileno(), 65536)
            now = time.monotonic()
            if not chunk:
                break
            text += chunk
            if header_at is None and b"Pinging multiple hosts" in text:
                header_at = now
            if totals_at is None and b"Ping statistics for multiple hosts" in text:
                totals_at = now
        process.wait()
        replies = text.count(b"Reply[")
        if process.returncode != 0 or replies != self.args.addresses or None in (header_at,
                                                                                  totals_at):
            raise RuntimeError("pass over %d addresses: %d replies, exit code %d" %
                               (self.args.addresses, replies, process.returncode))
        return totals_at - header_at

    def measure_dispatch(self, repeats=7):
        log("dispatch: %d passes over %d addresses" % (repeats, self.args.addresses))
        overheads, walls = [], []
        for _ in range(repeats):
            wall = self.timed_pass(self.probe_env("pass"))
            whole, _, _ = self.probe_figures("pass")
            overheads.append((wall - self.args.addresses * median(whole) / 1000.0) /
                             self.args.addresses * 1e6)
            walls.append(wall)
        self.results["dispatch"] = {"overhead_us": median(overheads), "pass_ms": median(walls) *
                                    1000.0}

    def measure_host_lists(self, runs=5):
        """Building big host lists without pinging (-n -1): wall time and peak resident size."""
        log("host lists: a range of 16,646,144 addresses, a host file of 1,000,000 lines")
        host_file = os.path.join(self.work, "hosts.txt")
        with open(host_file, "w") as out:
            for index in range(1_000_000):
                out.write("10.%d.%d.%d\n" % (index >> 16, (index >> 8) & 255, index & 255 or 1))
        figures = {}
        for name, command in (("range", [self.binary, "-g", "10.0.0.1/10.255.255.254", "-n", "-1"]),
                              ("file", [self.binary, "-H", host_file, "-n", "-1"])):
            walls, peaks = [], []
            for _ in range(runs):
                walls.append(self.run_checked(command)[0])
                env = self.probe_env("lists")
                env["QV_PROBE_PEAK"] = os.path.join(self.work, "peak")
                self.run_checked(command, env)
                with open(env["QV_PROBE_PEAK"]) as peak:
                    peaks.append(int(peak.read()))
            figures[name] = {"ms": median(walls) * 1000.0, "peak_mib": median(peaks) / 1024.0}
        self.results["host_lists"] = figures

    # The table -------------------------------------------------------------------------------

    def machine(self):
        model = "unknown CPU"
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
        version = subprocess.run([self.args.ping, "-V"], stdout=subprocess.PIPE, text=True,
                                 check=False).stdout.splitlines()
        return "%d-core %s, Linux %s, load average %.1f at the start; %s; lab host on one " \
            "veth pair" % (os.cpu_count(), model, platform.release(), self.load,
                           version[0] if version else "ping")

    def table(self):
        r = self.results
        rtt, pacing = r["rtt"], r["pacing"]
        ours_pacing, their_pacing = pacing["ours"], pacing["iputils"]
        ins, start, dispatch = r["instructions"], r["start_up"], r["dispatch"]

        def verdict(ok):
            return "met" if ok else "missed"

        rtt_ratio = rtt["window"] / rtt["iputils"]
        rows = [
            ("Median RTT, 1,000 echoes at 10 ms",
             "%.3f ms (printed: %.1f ms; send call to reply: %.3f ms)" %
             (rtt["window"], rtt["printed"], rtt["whole"]),
             "%.3f ms" % rtt["iputils"],
             "<= 1.15x: %.2fx, %s" % (rtt_ratio, verdict(rtt_ratio <= TARGETS["rtt"]))),
            ("Median RTT, ping socket (`-i`)",
             "%.3f ms (printed: %.1f ms)" % (rtt["service_whole"], rtt["service_printed"]),
             "", ""),
            ("1,000 echoes at 1 ms: wall / ideal",
             "%.3f (%.0f ms)" % (ours_pacing["ratio"], ours_pacing["wall"] * 1000),
             "%.3f (%.0f ms)" % (their_pacing["ratio"], their_pacing["wall"] * 1000),
             "<= 1.06: %s" % verdict(ours_pacing["ratio"] <= TARGETS["pacing"])),
            ("CPU (user + system) per echo at 1 ms",
             "%.1f us (%.1f%% CPU)" % (ours_pacing["cpu_us"], ours_pacing["cpu_share"] * 100),
             "%.1f us (%.1f%% CPU)" % (their_pacing["cpu_us"], their_pacing["cpu_share"] * 100),
             "< 10%%: %s" % verdict(ours_pacing["cpu_share"] < TARGETS["cpu_share"])),
            ("Reply to next request at 1 ms, beyond the 1 ms pause",
             "median %.0f us, mean %.0f us" % (ours_pacing["gap_median_us"],
                                               ours_pacing["gap_mean_us"]), "", ""),
            ("User-space instructions per echo (callgrind)", "%.0f" % ins["ours"],
             "%.0f" % ins["iputils"],
             "<= 6,000: %s" % verdict(ins["ours"] <= TARGETS["instructions"])),
            ("Start-up, one-echo run, median (%s)" % start["tool"], "%.2f ms" % start["ours"],
             "%.2f ms" % start["iputils"],
             "<= ping -c 1: %s" % verdict(start["ours"] <= start["iputils"])),
            ("Overhead per dispatch, pass over %d addresses" % self.args.addresses,
             "%.1f us (pass %.1f ms)" % (dispatch["overhead_us"], dispatch["pass_ms"]), "",
             "< 60 us: %s" % verdict(dispatch["overhead_us"] < TARGETS["dispatch_us"])),
        ]
        lists = r.get("host_lists")
        if lists:
            rows += [
                ("Start-up with `-g 10.0.0.1/10.255.255.254 -n -1`: time, peak resident size",
                 "%.1f ms, %.1f MiB" % (lists["range"]["ms"], lists["range"]["peak_mib"]), "", ""),
                ("Host file of 1,000,000 lines with `-n -1`: time, peak resident size",
                 "%.1f ms, %.1f MiB" % (lists["file"]["ms"], lists["file"]["peak_mib"]), "", ""),
            ]
        lines = ["Measured on: " + self.machine(), "",
                 "| What | Quilvane | iputils ping | Target |", "| --- | --- | --- | --- |"]
        lines += ["| %s | %s | %s | %s |" % row for row in rows]
        return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--probe", required=True, help="the preload probe, rtt_probe.so")
    parser.add_argument("--host", required=True, help="the answering host")
    parser.add_argument("--first", required=True, help="first of the answering addresses")
    parser.add_argument("--last", required=True, help="last of the answering addresses")
    parser.add_argument("--addresses", type=int, required=True)
    parser.add_argument("--ping", default=shutil.which("ping") or "ping")
    parser.add_argument("--valgrind", default=shutil.which("valgrind") or "valgrind")
    parser.add_argument("--hyperfine", default=shutil.which("hyperfine"))
    parser.add_argument("--json", help="also write the figures here")
    args = parser.parse_args()
    args.range = "%s/%s" % (args.first, args.last)

    bench = Bench(args)
    try:
        bench.warm_up()
        bench.measure_rtt()
        bench.measure_pacing()
        bench.measure_instructions()
        bench.measure_start_up()
        bench.measure_dispatch()
        bench.measure_host_lists()
    finally:
        shutil.rmtree(bench.work, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(bench.results, out, indent=2)
    print(bench.table())
    agreement = bench.results["rtt"]["probe_agreement"]
    if agreement < 0.95:
        log("warning: only %.0f%% of printed times match the probe's window" % (agreement * 100))


if __name__ == "__main__":
    main()

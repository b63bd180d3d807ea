#!/usr/bin/env python3
"""Measures the program beside iputils ping against one answering host and prints one table.

Runs inside the lab's client namespace (run-bench.sh starts it there), so every program it starts
sends from the client. Figures:

  rtt       median round trip over 1,000 echoes at a 10 ms interval. This program prints 0.1 ms
            steps, so the preload probe (rtt_probe.so) also takes the program's own figure in
            nanoseconds (its clock reading right before the send call to the kernel's receive
            stamp of the reply), and the whole round trip as seen from user space (send entered
            to reply received).
  pacing    wall time of 1,000 echoes at a 1 ms interval over the ideal 1,000 x (1 ms + median
            round trip of that run), CPU time (user + system) per echo, and the gap from a reply
            to the next request.
  callgrind user-space instructions per echo: (Ir of 200 echoes - Ir of 1 echo) / 199.
  start-up  wall time of a one-echo run (hyperfine, else repeated runs), median.
  dispatch  one pass over 200 answering addresses: (pass wall time - 200 x median round trip)
            / 200, the pass timed from the header line to the totals block as they are written.
  truth     reported round trips against the wire: a capture on the client's interface in the
            same run stamps each request on its way out and each reply on its way in, in one
            clock; every program's mean reported time less the wire mean of its own run, on the
            veth path and on a path whose responder waits 2 ms +- 0.05 ms, idle, with four busy
            loops and with a parallel build. Also where a software transmit stamp lies beside
            the clock read before the send call (tx_stamp).
"""

import argparse
import contextlib
import json
import os
import platform
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

PAYLOAD = 56  # iputils' default, so both send 64-byte ICMP messages

# |mean reported - wire mean| at most this, in ms, and no more than iputils' own.
TRUTH_BOUNDS = {"idle": 0.02, "busy": 0.05, "build": 0.05}
LOADS = {"idle": "idle", "busy": "four busy loops", "build": "parallel build (-j4)"}

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


def mean(values):
    return statistics.mean(values) if values else float("nan")


def read_capture(path):
    """{(identifier, sequence): {8: request stamp, 0: reply stamp}} in ns, from a capture in
    nanoseconds on an Ethernet interface."""
    with open(path, "rb") as capture:
        data = capture.read()
    if len(data) < 24:
        return {}
    order = {b"\x4d\x3c\xb2\xa1": "<", b"\xa1\xb2\x3c\x4d": ">"}.get(data[:4])
    if order is None:
        raise ValueError("not a capture in nanoseconds: %s" % path)
    echoes = {}
    offset = 24
    while offset + 16 <= len(data):
        seconds, fraction, captured = struct.unpack(order + "III", data[offset:offset + 12])
        frame = data[offset + 16:offset + 16 + captured]
        offset += 16 + captured
        if len(frame) < 14 + 28 or frame[12:14] != b"\x08\x00" or frame[14 + 9] != 1:
            continue
        icmp = frame[14 + (frame[14] & 0x0F) * 4:]
        if len(icmp) < 8 or icmp[0] not in (0, 8):
            continue
        # Identifier and sequence as bytes: each program writes them in an order of its own.
        stamps = echoes.setdefault((icmp[4:6], icmp[6:8]), {})
        stamps.setdefault(icmp[0], seconds * 1_000_000_000 + fraction)
    return echoes


def wire_round_trips(echoes):
    """The wire round trips of the echoes that were seen both ways, in ms."""
    return [(stamps[0] - stamps[8]) / 1e6 for stamps in echoes.values() if 0 in stamps and 8 in
            stamps]


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
        """(whole round trips, the program's own figures, gaps from a reply to the next send), all
        in ms. Without a receive stamp the program's figure ends where the receive returned."""
        whole, window, gaps = [], [], []
        with open(os.path.join(self.work, tag + ".echoes")) as echoes:
            for line in echoes:
                first, second, figure, _ = line.split()
                whole.append(int(first) / 1e6)
                window.append((int(figure) if int(figure) >= 0 else int(second)) / 1e6)
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
        # The probe must see what the timer sees: each printed time is its figure, rounded.
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

    # Truth -----------------------------------------------------------------------------------

    @contextlib.contextmanager
    def capture(self, interface):
        """A capture on interface while the block runs; the yielded dict then holds its echoes."""
        path = os.path.join(self.work, "wire.pcap")
        # Not in immediate mode: waking tcpdump for every packet would cost the sending thread
        # some microseconds between the request's stamp and its leaving, and so distort the
        # transmit stamps beside it. The kernel hands packets over a block at a time, at the latest
        # after a second. -Z root: the capture file lies in a folder only root may write to.
        process = subprocess.Popen([self.args.tcpdump, "-i", interface, "-n", "-U", "-Z", "root",
                                    "-B", "8192", "--time-stamp-precision=nano", "-w", path,
                                    "icmp"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        echoes = {}
        try:
            line = process.stderr.readline()
            if "listening on" not in line:
                raise RuntimeError("tcpdump did not start: " + line)
            yield echoes
            time.sleep(1.5)  # the last block on its way into the file
        finally:
            process.send_signal(signal.SIGINT)
            report = process.communicate(timeout=10)[1]
        dropped = re.search(r"(\d+) packets? dropped by kernel", report)
        if dropped and int(dropped.group(1)) > 0:
            log("warning: the capture on %s lost %s packets" % (interface, dropped.group(1)))
        echoes.update(read_capture(path))
        os.unlink(path)

    @contextlib.contextmanager
    def loaded(self, kind):
        """Runs the block idle, beside four busy loops, or beside a parallel build of the
        program in a folder of its own (rebuilt from scratch for as long as the block runs)."""
        processes = []
        if kind == "busy":
            for _ in range(4):
                processes.append(subprocess.Popen(["sh", "-c", "while :; do :; done"],
                                                  start_new_session=True))
        elif kind == "build":
            folder = os.path.join(self.work, "build")
            script = ('cmake -S "$1" -B "$2" -G Ninja -DQUILVANE_TESTS=OFF >/dev/null || exit; '
                      'while :; do ninja -C "$2" clean >/dev/null; '
                      'ninja -C "$2" -j4 quilvane >/dev/null; done')
            processes.append(subprocess.Popen(["sh", "-c", script, "build", self.args.source,
                                               folder], start_new_session=True,
                                              stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL))
        try:
            # Let the load take hold before the first echo (configuring takes a few seconds).
            time.sleep({"idle": 0, "busy": 2, "build": 8}[kind])
            yield
        finally:
            for process in processes:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, signal.SIGKILL)
                process.wait()

    def truth_run(self, program, host, interface, count):
        """One run beside a capture: mean printed time, mean of the probe's figures (ours) and
        wire mean, all in ms."""
        if program == "iputils":
            command, env = [self.args.ping, "-c", str(count), "-i", "0.01", host], None
            pattern, times = r"(?m)^\d+ bytes from", self.iputils_times
        else:
            engine = ["-i"] if program == "service" else []
            command = [self.binary, host, "-n", str(count), "-t", "10", "-s", str(PAYLOAD)]
            command, env = command + engine, self.probe_env("truth")
            pattern, times = r"(?m)^Reply\[", self.our_times
        with self.capture(interface) as echoes:
            wall, cpu, output = self.run_checked(command, env, count, pattern)
        wire = wire_round_trips(echoes)
        if len(wire) != count:
            log("warning: %d of %d echoes seen both ways on %s" % (len(wire), count, interface))
        figures = {"printed": mean(times(output)), "wire": mean(wire),
                   "wire_median": median(wire), "echoes": len(wire), "cpu_share": cpu / wall}
        if env is not None:
            _, probed, _ = self.probe_figures("truth")
            figures["probe"] = mean(probed)
            with open(os.path.join(self.work, "truth.echoes")) as lines:
                leads = [int(line.split()[3]) / 1e3 for line in lines]
            figures["start_before_send_us"] = median(leads)
        return figures

    def tx_stamp_run(self, kind, host, interface, count=300):
        """Where a software transmit stamp and the clock read before the send call lie beside the
        request's wire stamp, in us; and the round trips taken from each, less the wire's."""
        with self.capture(interface) as echoes:
            _, _, output = self.run_checked([self.args.tx_stamp, kind, host, str(count), "10"])
        before_to_wire, stamp_to_wire, from_before, from_stamp, receive_to_wire = [], [], [], [], []
        for line in output.splitlines():
            fields = line.split()
            if len(fields) != 5:
                continue
            fields = [int(field) for field in fields]
            identifier, sequence, before, sent, received = fields
            stamps = echoes.get((struct.pack("!H", identifier), struct.pack("!H", sequence)), {})
            if 0 not in stamps or 8 not in stamps or received < 0:
                continue
            wire = stamps[0] - stamps[8]
            before_to_wire.append((stamps[8] - before) / 1e3)
            from_before.append((received - before - wire) / 1e3)
            receive_to_wire.append((received - stamps[0]) / 1e3)
            if sent >= 0:
                stamp_to_wire.append((sent - stamps[8]) / 1e3)
                from_stamp.append((received - sent - wire) / 1e3)
        stamped = int(re.search(r"transmit-stamps (\d+)", output).group(1))
        return {"echoes": len(before_to_wire), "stamped": stamped,
                "before_to_wire_us": mean(before_to_wire),
                "stamp_after_wire_us": mean(stamp_to_wire),
                "error_from_before_us": mean(from_before), "error_from_stamp_us": mean(from_stamp),
                "receive_after_wire_us": mean(receive_to_wire)}

    def measure_truth(self, count=1000):
        paths = (("veth", self.host, self.args.wire_if),
                 ("2 ms", self.args.delayed_host, self.args.delayed_if))
        runs, stamps = [], []
        for kind in ("idle", "busy", "build"):
            log("truth, %s: %d echoes a run against the wire, each path and program" %
                (LOADS[kind], count))
            with self.loaded(kind):
                for path, host, interface in paths:
                    for program in ("ours", "service", "iputils"):
                        figures = self.truth_run(program, host, interface, count)
                        figures.update(load=kind, path=path, program=program,
                                       load_average=os.getloadavg()[0])
                        runs.append(figures)
                    for socket_kind in ("raw", "ping"):
                        figures = self.tx_stamp_run(socket_kind, host, interface)
                        figures.update(load=kind, path=path, socket=socket_kind)
                        stamps.append(figures)
        self.results["truth"] = {"runs": runs, "tx_stamps": stamps}

    def truth_table(self):
        runs = self.results["truth"]["runs"]
        lines = ["Reported mean less the wire mean of the same run (reported / wire), ms; "
                 "Quilvane on the veth path through the probe, else printed:", "",
                 "| Path | Load (1-min avg.) | Quilvane | Quilvane `-i` | iputils ping | Bound |",
                 "| --- | --- | --- | --- | --- | --- |"]
        for path in ("veth", "2 ms"):
            for kind in ("idle", "busy", "build"):
                cells, errors = [], {}
                for program in ("ours", "service", "iputils"):
                    run = next(r for r in runs if (r["path"], r["load"], r["program"]) ==
                               (path, kind, program))
                    reported = run["probe"] if program != "iputils" and path == "veth" \
                        else run["printed"]
                    errors[program] = reported - run["wire"]
                    cells.append("%+.3f (%.3f / %.3f)" % (errors[program], reported, run["wire"]))
                    average = run["load_average"]
                bound = TRUTH_BOUNDS[kind]
                met = all(abs(errors[p]) <= bound and abs(errors[p]) <= abs(errors["iputils"])
                          for p in ("ours", "service"))
                lines.append("| %s | %s (%.1f) | %s | %s | %s | <= %.2f and <= iputils: %s |" %
                             ((path, LOADS[kind], average) + tuple(cells) +
                              (bound, "met" if met else "missed")))
        lines += ["", "Start of a round trip beside the request's wire stamp (tx_stamp, 300 "
                  "echoes), us:", "",
                  "| Path | Load | Socket | Transmit stamps | Clock before send to wire | "
                  "Wire to transmit stamp | Round-trip error from clock / from stamp |",
                  "| --- | --- | --- | --- | --- | --- | --- |"]
        for run in self.results["truth"]["tx_stamps"]:
            lines.append("| %s | %s | %s | %d of %d | %.1f | %.1f | %+.1f / %+.1f |" % (
                run["path"], LOADS[run["load"]], run["socket"], run["stamped"], run["echoes"],
                run["before_to_wire_us"], run["stamp_after_wire_us"],
                run["error_from_before_us"], run["error_from_stamp_us"]))
        return "\n".join(lines)

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
    parser.add_argument("--wire-if", required=True, help="the client's interface towards --host")
    parser.add_argument("--delayed-host", required=True,
                        help="an address whose replies wait 2 ms +- 0.05 ms")
    parser.add_argument("--delayed-if", required=True, help="the client's interface towards it")
    parser.add_argument("--source", required=True, help="the checkout, built as load")
    parser.add_argument("--tx-stamp", required=True, help="the transmit stamp probe, tx_stamp")
    parser.add_argument("--tcpdump", default=shutil.which("tcpdump") or "tcpdump")
    parser.add_argument("--only", choices=["truth"], help="run this section alone")
    args = parser.parse_args()
    args.range = "%s/%s" % (args.first, args.last)

    bench = Bench(args)
    try:
        bench.warm_up()
        if args.only != "truth":
            bench.measure_rtt()
            bench.measure_pacing()
            bench.measure_instructions()
            bench.measure_start_up()
            bench.measure_dispatch()
            bench.measure_host_lists()
        bench.measure_truth()
    finally:
        shutil.rmtree(bench.work, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(bench.results, out, indent=2)
    if args.only != "truth":
        print(bench.table())
        print()
    print(bench.truth_table())
    agreement = bench.results.get("rtt", {}).get("probe_agreement", 1.0)
    if agreement < 0.95:
        log("warning: only %.0f%% of printed times match the probe's figure" % (agreement * 100))


if __name__ == "__main__":
    main()

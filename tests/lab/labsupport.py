"""Helpers of the lab's end-to-end tests: the lab's facts, the program run inside the client
namespace, whole-output comparison, the test responder, packet captures and a pcap reader."""

import argparse
import contextlib
import functools
import ipaddress
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CONFIG = {
    "binary": None,
    "responder": None,
    "lab_script": os.path.join(HERE, "lab.sh"),
    # With --wine: the Windows build runs under Wine, whose prefix and server belong to the client.
    "wine": None,
}
LAB = None

NOBODY = 65534
CAP_NET_RAW_BIT = 13

# Text of a receive that ran out of time (SO_RCVTIMEO), as the socket error line shows it; Wine has
# no text for its number, 10060, so the line shows the number.
RECEIVE_TIMED_OUT = "Resource temporarily unavailable"
RECEIVE_TIMED_OUT_WINE = "WSAError: 10060"


# ---------------------------------------------------------------------------------------------
# The lab


class Lab:
    """The facts of a running lab (KEY=VALUE lines that lab.sh writes), and what tests do in it."""

    def __init__(self, facts, private_state=None):
        self.facts = facts
        self.private_state = private_state
        self.client = facts["CLIENT_NS"]
        self.responder_ns = facts["RESPONDER_NS"]

    def __getitem__(self, key):
        return self.facts[key]

    @staticmethod
    def read_facts(path):
        facts = {}
        with open(path, encoding="ascii") as state:
            for line in state:
                key, _, value = line.rstrip("\n").partition("=")
                if key:
                    facts[key] = value
        return facts

    @classmethod
    def from_state(cls, path):
        return cls(cls.read_facts(path))

    @classmethod
    def start_private(cls):
        """A lab of this process's own, for a test file started by hand."""
        state = tempfile.mktemp(prefix="quilvane-lab-", suffix=".env")
        try:
            subprocess.run([CONFIG["lab_script"], "start", state], check=True,
                           stdout=subprocess.DEVNULL)
        except BaseException:
            # A start that failed or was interrupted leaves neither lab nor state file behind.
            subprocess.run([CONFIG["lab_script"], "stop", state], check=False)
            raise
        return cls(cls.read_facts(state), private_state=state)

    def stop_private(self):
        if self.private_state:
            subprocess.run([CONFIG["lab_script"], "stop", self.private_state], check=False)

    def in_namespace(self, namespace, command, check=True):
        return subprocess.run(["ip", "netns", "exec", namespace] + command, check=check,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def set_ping_group_range(self, value):
        self.in_namespace(self.client, ["sysctl", "-q", "-w",
                                        "net.ipv4.ping_group_range=" + value])

    def ping_group_range(self):
        return self.in_namespace(self.client, ["sysctl", "-n",
                                               "net.ipv4.ping_group_range"]).stdout.split()

    @contextlib.contextmanager
    def ping_sockets(self, allowed):
        """Ping sockets allowed for everyone, or refused ("1 0"), in the client for a while."""
        before = " ".join(self.ping_group_range())
        self.set_ping_group_range("0 2147483647" if allowed else "1 0")
        try:
            yield
        finally:
            self.set_ping_group_range(before)

    @contextlib.contextmanager
    def nft(self, namespace, ruleset, table, family="ip"):
        """An nftables ruleset in a lab namespace while the block runs; its table is of the
        family given ("ip6" for IPv6)."""
        subprocess.run(["ip", "netns", "exec", namespace, "nft", "-f", "-"], input=ruleset,
                       text=True, check=True)
        try:
            yield
        finally:
            subprocess.run(["ip", "netns", "exec", namespace, "nft", "delete", "table", family,
                            table], check=False)

    # The program

    def command(self, args, user=None, binary=None, wrapper=()):
        command = ["ip", "netns", "exec", self.client]
        if user is not None:
            command += ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"]
        if CONFIG["wine"] and not wrapper:
            wrapper = CONFIG["wine"].environment() + ["wine"]
        return command + list(wrapper) + [binary or CONFIG["binary"]] + list(args)

    def run(self, args, timeout=60, stdin=None, **options):
        """Runs the program to its end; `stdin`, bytes, is its standard input if given."""
        started = time.monotonic()
        completed = subprocess.run(self.command(args, **options), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, timeout=timeout, input=stdin)
        return Result(as_text(completed.stdout), as_text(completed.stderr),
                      completed.returncode, time.monotonic() - started)

    def start(self, args, **options):
        return Running(self.command(args, **options))

    @contextlib.contextmanager
    def responder(self, address, *options):
        """The test responder answering requests to `address` in the responder namespace."""
        process = subprocess.Popen(["ip", "netns", "exec", self.responder_ns,
                                    CONFIG["responder"], "--address", address] + list(options),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            line = process.stdout.readline()
            if line.strip() != "ready":
                raise RuntimeError("responder did not start: " + process.stderr.read())
            yield process
        finally:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            process.stdout.close()
            process.stderr.close()

    @contextlib.contextmanager
    def capture(self, interface, namespace=None, expression="icmp"):
        """tcpdump on a lab interface; the yielded Capture holds the packets once the block ends.
        The filter `expression` is tcpdump's: "ip6" for IPv6, whose ICMPv6 may follow extension
        headers (a fragment header) that tcpdump's "icmp6" would not look past."""
        handle, path = tempfile.mkstemp(prefix="quilvane-capture-", suffix=".pcap")
        os.close(handle)
        # Packets written as they come (a buffered capture may end with nothing written), by
        # root (the file was made by root).
        process = subprocess.Popen(["ip", "netns", "exec", namespace or self.client, "tcpdump",
                                    "-i", interface, "-n", "-U", "--immediate-mode", "-Z", "root",
                                    "-s", "0", "-w", path, expression],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        result = Capture()
        try:
            line = process.stderr.readline()
            if "listening on" not in line:
                raise RuntimeError("tcpdump did not start: " + line + process.stderr.read())
            yield result
        finally:
            # The last replies may still be on their way into the file; tcpdump writes what it
            # has read and drops the rest once interrupted.
            wait_until_unchanged(path)
            process.send_signal(signal.SIGINT)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            process.stderr.close()
            try:
                result.packets = read_pcap(path)
            finally:
                os.unlink(path)


def under_wine():
    return CONFIG["wine"] is not None


def on_wine(linux_value, wine_value):
    """What the Linux build shows, or what the Windows build under Wine shows instead."""
    return wine_value if under_wine() else linux_value


def not_under_wine(reason):
    """Skips the test when the Windows build runs under Wine, for the reason given."""
    def decorate(test):
        @functools.wraps(test)
        def run(self, *args, **kwargs):
            if CONFIG["wine"]:
                self.skipTest("not under Wine: " + reason)
            return test(self, *args, **kwargs)
        return run
    return decorate


def as_text(output):
    """The program's bytes as text; a Windows build ends its lines with CR LF."""
    text = output.decode("latin-1")
    return text.replace("\r\n", "\n") if CONFIG["wine"] else text


class WinePrefix:
    """A Wine prefix of the lab's own, its server started inside the client namespace: Wine keeps
    raw sockets in its server and ICMP.DLL's sockets in its device process, which would otherwise
    live outside the lab."""

    def __init__(self, lab):
        self.lab = lab
        self.path = tempfile.mkdtemp(prefix="quilvane-wine-")

    def environment(self):
        return ["env", "WINEPREFIX=" + self.path, "WINEDEBUG=-all",
                "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY="]

    def _wine(self, *command, check=True):
        return subprocess.run(["ip", "netns", "exec", self.lab.client] + self.environment()
                              + list(command), check=check, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=120).returncode

    def start(self):
        # The server first: once wineboot has started one of its own, -p is refused.
        self._wine("wineserver", "-p")
        self._wine("wineboot", "--init")
        # The first program of a fresh prefix now and then fails while its services are still
        # starting; this one only brings them up before the first test, so it may try again.
        for _ in range(3):
            if self._wine("wine", "cmd", "/c", "exit", "0", check=False) == 0:
                return
        raise RuntimeError("Wine does not start in the lab's prefix " + self.path)

    def stop(self):
        subprocess.run(["ip", "netns", "exec", self.lab.client] + self.environment()
                       + ["wineserver", "-k"], check=False, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(self.path, ignore_errors=True)


class Result:
    def __init__(self, out, err, code, elapsed):
        self.out = out
        self.err = err
        self.code = code
        self.elapsed = elapsed

    def __repr__(self):
        return "exit %d after %.2f s\n--- stdout\n%s--- stderr\n%s" % (
            self.code, self.elapsed, self.out, self.err)


class Running:
    """The program running in the background, its output read as it comes."""

    def __init__(self, command):
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.pid = self.process.pid
        self._out = bytearray()
        self._err = bytearray()
        self._changed = threading.Condition()
        self._readers = [threading.Thread(target=self._read, args=(self.process.stdout, self._out)),
                         threading.Thread(target=self._read, args=(self.process.stderr, self._err))]
        for reader in self._readers:
            reader.daemon = True
            reader.start()

    def _read(self, stream, buffer):
        while True:
            chunk = stream.read1(65536)
            with self._changed:
                if not chunk:
                    self._changed.notify_all()
                    return
                buffer.extend(chunk)
                self._changed.notify_all()

    def output(self):
        with self._changed:
            return as_text(self._out)

    def wait_for(self, pattern, timeout=20, count=1):
        """Waits until `pattern` (a regular expression) occurs `count` times in the output."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while len(re.findall(pattern, as_text(self._out))) < count:
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self.process.poll() is not None and not self._pending():
                    raise AssertionError("no %r in the output:\n%s" % (pattern, self._out.decode(
                        "latin-1")))
                self._changed.wait(min(remaining, 0.05))

    def _pending(self):
        return any(reader.is_alive() for reader in self._readers)

    def send(self, signal_number):
        self.process.send_signal(signal_number)

    def finish(self, timeout=30):
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise
        self._close()
        return Result(as_text(self._out), as_text(self._err), code,
                      time.monotonic() - self.started)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._close()

    def _close(self):
        for reader in self._readers:
            reader.join(timeout=10)
        for stream in (self.process.stdout, self.process.stderr):
            if not stream.closed:
                stream.close()


def wait_until_unchanged(path, quiet=0.3, limit=10.0):
    """Waits until the file has not grown for `quiet` seconds, at most `limit` seconds."""
    deadline = time.monotonic() + limit
    size = -1
    while time.monotonic() < deadline:
        current = os.path.getsize(path)
        if current == size:
            return
        size = current
        time.sleep(quiet)


def process_status(pid):
    """The fields of /proc/PID/status."""
    fields = {}
    with open("/proc/%d/status" % pid, encoding="ascii") as status:
        for line in status:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields


# ---------------------------------------------------------------------------------------------
# Expected output. Templates are literal text except for these marks:
#   <banner>       the two banner lines with their blank lines (the attribution wording is free)
#   X ms           a measured time ("0.1 ms", "12.3 ms")
#   hh:mm:ss, yyyy/mm/dd   the clock and date of a stamp

BANNER_PATTERN = r"\nQuilvane version 2\.18\n[^\n]+\n\n"
MARKS = [
    ("<banner>", BANNER_PATTERN),
    ("X ms", r"\d+\.\d ms"),
    ("hh:mm:ss", r"\d\d:\d\d:\d\d"),
    ("yyyy/mm/dd", r"\d{4}/\d\d/\d\d"),
]


NO_TIMES = "Minimum = 0.0 ms, Maximum = 0.0 ms, Average = 0.0 ms"


def template_pattern(template):
    pattern = ""
    rest = template
    while rest:
        positions = [(rest.find(mark), mark, regex) for mark, regex in MARKS if mark in rest]
        if not positions:
            pattern += re.escape(rest)
            break
        position, mark, regex = min(positions)
        pattern += re.escape(rest[:position]) + regex
        rest = rest[position + len(mark):]
    return re.compile(pattern, re.DOTALL)


def masked(text):
    """The text with banner, measured times and stamps replaced by the template marks."""
    text = re.sub(BANNER_PATTERN, "<banner>", text, count=1)
    text = re.sub(r"\d+\.\d ms", "X ms", text.replace(NO_TIMES, "<no times>")).replace(
        "<no times>", NO_TIMES)
    text = re.sub(r"\d{4}/\d\d/\d\d", "yyyy/mm/dd", text)
    return re.sub(r"\b\d\d:\d\d:\d\d\b", "hh:mm:ss", text)


def all_times_masked(text):
    """Every measured time masked, also the 0.0 that a run without replies would show."""
    return re.sub(r"\d+\.\d ms", "X ms", masked(text))


def loss(sent, received):
    return ((sent - received) * 100 // sent) if sent else 0


def header(address, size=32, interval=1000, name=None):
    if name:
        return "Pinging %s [%s] with %d bytes of data every %d ms:\n\n" % (name, address, size,
                                                                          interval)
    return "Pinging %s with %d bytes of data every %d ms:\n\n" % (address, size, interval)


def reply(number, address, size=32, ttl=64, tos=None, stamp=""):
    tail = " TOS=%d\n" % tos if tos is not None else "\n"
    return "%sReply[%d] from %s: bytes=%d time=X ms TTL=%d%s" % (stamp, number, address, size,
                                                                  ttl, tail)


def host_not_found(host, error=11001):
    return "Host not found: %s  error %d\n" % (host, error)


def timed_out(address, code=None, stamp=""):
    if code is None:
        return "%s%s: request timed out\n" % (stamp, address)
    return "%s%s: request timed out (%d)\n" % (stamp, address, code)


def send_unreachable():
    """A send refused for want of a route; Wine has no text for its number, 10051."""
    return "sendto() - %s\n" % on_wine("Network is unreachable", "WSAError: 10051")


def receive_failed(text=None):
    if text is None:
        text = RECEIVE_TIMED_OUT_WINE if CONFIG["wine"] else RECEIVE_TIMED_OUT
    return "recvfrom() - %s\n" % text


def _packets_and_times(sent, received, interim=False):
    times = "X ms" if received else "0.0 ms"
    return ("\n\tPackets: Sent = %d, Received = %d, Lost = %d (%d%% loss)"
            "\nApproximate round trip times in milli-seconds:"
            "\n\tMinimum = %s, Maximum = %s, Average = %s\n%s") % (
                sent, received, sent - received, loss(sent, received), times, times, times,
                "\n" if interim else "")


def statistics(host, sent, received, interim=False):
    return "\nPing statistics for %s:" % host + _packets_and_times(sent, received, interim)


def totals(sent, received):
    return "\nPing statistics for multiple hosts:" + _packets_and_times(sent, received)


def many_header(size=32, interval=1000):
    return "Pinging multiple hosts with %d bytes of data every %d ms:\n\n" % (size, interval)


DF_MESSAGE = "Packet size exceeds MTU and needs to be fragmented but DF set.\n"
SWITCHING = "switching to ICMP dll\n"
ROUTES_DISABLED = "Route options disabled by ICMP dll\n"
# Once per run, before the first IPv6 host: the record-route option is IPv4's alone.
ROUTES_DISABLED_FOR_IPV6 = "Route options disabled for IPv6 hosts\n"
RAW_REFUSED = "socket() - Operation not permitted\n"
NOT_LOADABLE = "Could not load the ICMP DLL\n"
# On standard error after "No host specified".
USAGE_HINT = "Type quilvane -? for the usage text.\n"
# What can help a run refused the echo service: with -i only the ping sockets' range; after a
# refused raw socket the raw-socket right too, for the binary under test by its real path.
PING_SOCKETS_FIX = ("To ping with the ICMP dll, allow ping sockets for your group"
                    " (sysctl net.ipv4.ping_group_range).\n")


def how_to_fix():
    return ("To ping, give this program the raw-socket right (setcap cap_net_raw+p %s) or allow"
            " ping sockets for your group (sysctl net.ipv4.ping_group_range).\n"
            % os.path.realpath(CONFIG["binary"]))


# ---------------------------------------------------------------------------------------------
# Consistency of the statistics, checked on every output compared

PACKETS = re.compile(r"Packets: Sent = (\d+), Received = (\d+), Lost = (-?\d+) \((-?\d+)% loss\)"
                     r"\nApproximate round trip times in milli-seconds:"
                     r"\n\tMinimum = (\d+\.\d) ms, Maximum = (\d+\.\d) ms, Average = (\d+\.\d) ms")


def statistics_problems(text):
    problems = []
    for match in PACKETS.finditer(text):
        sent, received, lost, percent = (int(match.group(i)) for i in range(1, 5))
        minimum, maximum, average = (float(match.group(i)) for i in range(5, 8))
        if received > sent or lost != sent - received or percent != loss(sent, received):
            problems.append("impossible packet figures: " + match.group(0).splitlines()[0])
        if received == 0 and (minimum, maximum, average) != (0.0, 0.0, 0.0):
            problems.append("times without a reply: " + match.group(0))
        if received and not minimum - 0.05 <= average <= maximum + 0.05:
            problems.append("average outside minimum and maximum: " + match.group(0))
    return problems


class LabTestCase(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.lab = LAB

    def assertOutput(self, result, expected, code=0, stderr=""):
        """The whole standard output matches the template, with the expected exit code and
        nothing on standard error (a sanitizer's report, a stray message) unless `stderr` is None.
        """
        if not template_pattern(expected).fullmatch(result.out):
            self.assertEqual(masked(result.out), expected, "output differs\n%r" % result)
        self.assertEqual(statistics_problems(result.out), [], repr(result))
        self.assertEqual(result.code, code, "exit code differs\n%r" % result)
        if stderr and CONFIG["wine"]:
            # The program names itself as it was started.
            stderr = stderr.replace("quilvane -?", "quilvane.exe -?")
        if stderr is not None:
            self.assertEqual(result.err, stderr, "standard error differs\n%r" % result)

    def assertSameRun(self, arguments, windows=(8, 256), mask=all_times_masked, **options):
        """The run with many requests in flight (-p, each window given) prints what the same run
        prints one request at a time, measured times masked."""
        alone = self.lab.run(arguments + ["-p", "1"], **options)
        self.assertEqual(statistics_problems(alone.out), [])
        for window in windows:
            with self.subTest(window=window):
                together = self.lab.run(arguments + ["-p", str(window)], **options)
                self.assertEqual(mask(together.out), mask(alone.out))
                self.assertEqual(together.err, alone.err)
                self.assertEqual(together.code, alone.code)

    def assertNoPause(self, result, limit):
        """Nothing waited the (deliberately long) interval: the run ended well before `limit` s."""
        self.assertLess(result.elapsed, limit, "the run waited an interval\n%r" % result)


# ---------------------------------------------------------------------------------------------
# Packet captures


class Packet:
    """An IPv4 datagram carrying ICMP."""
    ECHO_REQUEST, ECHO_REPLY = 8, 0

    def __init__(self, data):
        self.ip = data
        self.header_length = (data[0] & 0x0F) * 4
        self.tos = data[1]
        self.total_length = struct.unpack("!H", data[2:4])[0]
        self.dont_fragment = bool(struct.unpack("!H", data[6:8])[0] & 0x4000)
        self.ttl = data[8]
        self.protocol = data[9]
        self.source = ".".join(str(b) for b in data[12:16])
        self.destination = ".".join(str(b) for b in data[16:20])
        self.options = data[20:self.header_length]
        self.icmp = data[self.header_length:self.total_length]
        self.type = self.icmp[0]
        self.code = self.icmp[1]
        # Identifier and sequence as the program writes them: in the sender's memory order.
        self.identifier = struct.unpack("<H", self.icmp[4:6])[0]
        self.sequence = struct.unpack("<H", self.icmp[6:8])[0]
        self.data = self.icmp[8:]

    def checksum_valid(self):
        return internet_checksum(self.icmp) == 0


# IPv6 extension headers that may stand between the fixed header and ICMPv6.
HOP_BY_HOP, ROUTING, FRAGMENT, DESTINATION_OPTIONS = 0, 43, 44, 60
ICMPV6 = 58


class Packet6:
    """An IPv6 packet carrying ICMPv6 (the first fragment of a fragmented one), with the field
    names of Packet where IPv4 has a counterpart: tos is the traffic class, ttl the hop limit."""
    ECHO_REQUEST, ECHO_REPLY = 128, 129

    def __init__(self, data):
        self.ip = data
        self.traffic_class = (data[0] & 0x0F) << 4 | data[1] >> 4
        self.tos = self.traffic_class
        self.payload_length = struct.unpack("!H", data[4:6])[0]
        self.hop_limit = data[7]
        self.ttl = self.hop_limit
        self.source_bytes, self.destination_bytes = data[8:24], data[24:40]
        self.source = str(ipaddress.IPv6Address(self.source_bytes))
        self.destination = str(ipaddress.IPv6Address(self.destination_bytes))
        self.extension_headers = []
        self.fragment_offset, self.more_fragments = 0, False
        next_header, offset = data[6], 40
        while next_header in (HOP_BY_HOP, ROUTING, FRAGMENT, DESTINATION_OPTIONS):
            self.extension_headers.append(next_header)
            if next_header == FRAGMENT:
                field = struct.unpack("!H", data[offset + 2:offset + 4])[0]
                self.fragment_offset, self.more_fragments = field >> 3, bool(field & 1)
                length = 8
            else:
                length = (data[offset + 1] + 1) * 8
            next_header, offset = data[offset], offset + length
        self.next_header = next_header
        self.icmp = data[offset:40 + self.payload_length]
        if len(self.icmp) >= 8:
            self.type, self.code = self.icmp[0], self.icmp[1]
            # As Packet reads them: in the sender's memory order.
            self.identifier = struct.unpack("<H", self.icmp[4:6])[0]
            self.sequence = struct.unpack("<H", self.icmp[6:8])[0]
        else:
            self.type = self.code = self.identifier = self.sequence = None
        self.data = self.icmp[8:]

    def checksum_valid(self):
        """Over the pseudo-header (addresses, length, next header) and the whole message; only
        a packet that is not fragmented holds the whole message."""
        pseudo = (self.source_bytes + self.destination_bytes
                  + struct.pack("!IxxxB", len(self.icmp), ICMPV6))
        return not self.more_fragments and internet_checksum(pseudo + self.icmp) == 0


class Capture:
    def __init__(self):
        self.packets = []

    def requests(self):
        return [p for p in self.packets if p.type == p.ECHO_REQUEST]

    def replies(self):
        return [p for p in self.packets if p.type == p.ECHO_REPLY]


def internet_checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def read_pcap(path):
    """The ICMP packets of a classic pcap file (Ethernet or raw IP link type): IPv4 with ICMP,
    and IPv6 with ICMPv6 (of a fragmented packet the first fragment alone)."""
    with open(path, "rb") as capture:
        data = capture.read()
    if len(data) < 24:
        return []
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
        order = "<"
    elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
        order = ">"
    else:
        raise ValueError("not a pcap file: %s" % path)
    link_type = struct.unpack(order + "I", data[20:24])[0]
    packets = []
    offset = 24
    while offset + 16 <= len(data):
        captured = struct.unpack(order + "I", data[offset + 8:offset + 12])[0]
        frame = data[offset + 16:offset + 16 + captured]
        offset += 16 + captured
        if link_type == 1:  # Ethernet
            if len(frame) < 14 or frame[12:14] not in (b"\x08\x00", b"\x86\xdd"):
                continue
            frame = frame[14:]
        elif link_type == 113:  # Linux cooked capture
            if len(frame) < 16 or frame[14:16] not in (b"\x08\x00", b"\x86\xdd"):
                continue
            frame = frame[16:]
        elif link_type not in (101, 228, 229):  # raw IP, raw IPv4, raw IPv6
            continue
        if len(frame) >= 28 and frame[0] >> 4 == 4 and frame[9] == 1:
            packets.append(Packet(bytes(frame)))
        elif len(frame) >= 40 and frame[0] >> 4 == 6:
            packet = Packet6(bytes(frame))
            if packet.next_header == ICMPV6 and packet.fragment_offset == 0:
                packets.append(packet)
    return packets


# ---------------------------------------------------------------------------------------------
# Entry


def main():
    global LAB
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--binary")
    parser.add_argument("--responder")
    parser.add_argument("--state", help="facts of a running lab; without it a lab of its own")
    parser.add_argument("--wine", action="store_true",
                        help="the binary is the Windows build, run under Wine in the client")
    known, rest = parser.parse_known_args()
    if os.geteuid() != 0:
        print("SKIPPED: the lab tests need root (network namespaces, raw sockets, capabilities);"
              " run them as root, as CI does.")
        sys.exit(77)
    CONFIG["binary"] = known.binary or os.environ.get("QUILVANE_BINARY")
    CONFIG["responder"] = known.responder or os.environ.get("LAB_RESPONDER")
    if not CONFIG["binary"] or not os.access(CONFIG["binary"], os.X_OK):
        sys.exit("the program to test is missing: --binary PATH")
    for tool in ("ip", "tcpdump", "nft", "setpriv", "setcap", "valgrind"):
        if shutil.which(tool) is None:
            sys.exit("%s is missing (tools/install-dependencies installs it)" % tool)
    LAB = Lab.from_state(known.state) if known.state else Lab.start_private()
    try:
        if known.wine:
            CONFIG["wine"] = WinePrefix(LAB)
            CONFIG["wine"].start()
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        if CONFIG["wine"]:
            CONFIG["wine"].stop()
        LAB.stop_private()
    sys.exit(0 if program.result.wasSuccessful() else 1)

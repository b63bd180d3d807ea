#!/usr/bin/env python3
"""Hostile input through the real resolver and file system: format conversions and terminal
control bytes in outside texts, a host text longer than a message, a flood of arguments, binary
garbage as a host file, and a program started with its standard streams closed."""

import os
import random
import re
import shutil
import tempfile

import labsupport
from labsupport import USAGE_HINT, LabTestCase, header, many_header, reply, statistics

MESSAGE_LIMIT = 65535
# Bytes that move a terminal's cursor or start its escape sequences; only the line ends and tabs
# of the program's own lines may reach it.
CONTROL_BYTES = re.compile(r"[\x00-\x08\x0b-\x1f\x7f]")


def host_file_entries(text):
    """The entries a host file yields: separated by commas and line ends alike, blanks and tabs
    around them trimmed, empty ones skipped, the first NUL ending the text."""
    text = text.split(b"\0")[0]
    pieces = text.replace(b"\r", b",").replace(b"\n", b",").split(b",")
    return [p.strip(b" \t") for p in pieces if p.strip(b" \t")]


class HostileInput(LabTestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.directory)

    def test_conversions_in_a_host_name_are_printed_as_they_stand(self):
        name = "%n%s%x%d%p"
        result = self.lab.run([name, "-n", "1"])
        self.assertOutput(result, "<banner>Host not found: %s  error 11001\n" % name, code=2)

    def test_conversions_in_a_file_name_are_printed_as_they_stand(self):
        path = os.path.join(self.directory, "%n%s%x.txt")
        result = self.lab.run(["-H", path, "-n", "1"])
        self.assertOutput(result, "\nFile %s not found.\n<banner>No host specified\n" % path,
                          code=2, stderr=USAGE_HINT)

    def test_a_host_text_longer_than_a_message_is_cut_at_the_limit(self):
        name = "a" * 70000
        result = self.lab.run([name, "-n", "1"])
        line = ("Host not found: %s  error 11001\n" % name)[:MESSAGE_LIMIT]
        self.assertOutput(result, "<banner>" + line, code=2)

    def test_a_hundred_thousand_arguments(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "1"] + ["-l"] * 100000)
        self.assertOutput(result, reply(1, alpha))

    def test_a_hundred_thousand_hosts_of_which_the_first_is_pinged_once(self):
        # Only the list's size matters here: one pass with -n -1 would ping nothing at all.
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha] * 100000 + ["-n", "-1"])
        self.assertOutput(result, "<banner>Pinging multiple hosts with 32 bytes of data every"
                                  " 1000 ms:\n\nNo ping statistics available\n")

    def test_binary_garbage_as_a_host_file(self):
        generator = random.Random(20240607)
        for layout, extra in (("lines", b"\r\n"), ("commas", b",")):
            with self.subTest(layout=layout):
                garbage = bytes(generator.choice(range(1, 256)) for _ in range(4096))
                if layout == "lines":
                    garbage = garbage.replace(b",", b"\r")
                garbage += extra + b"tail-entry"
                path = os.path.join(self.directory, layout + ".bin")
                with open(path, "wb") as hosts:
                    hosts.write(garbage)
                result = self.lab.run(["-H", path, "-w", "50", "-t", "1"])
                entries = host_file_entries(garbage)
                self.assertGreater(len(entries), 3)
                self.assertEqual(result.code, 2, result)
                self.assertEqual(result.err, "", result)
                self.assertEqual(result.out.count("Host not found: "), len(entries), result)
                self.assertTrue(result.out.endswith(
                    "Host not found: tail-entry  error 11001\nNo ping statistics available\n"),
                    result)
                self.assertIsNone(CONTROL_BYTES.search(result.out), result)

    def test_a_good_host_after_a_garbage_file_is_still_pinged(self):
        alpha = self.lab["ALPHA_ADDR"]
        path = os.path.join(self.directory, "mixed.txt")
        with open(path, "wb") as hosts:
            hosts.write(b"\xff\xfe\x01\x02,%s,%%n%%n%%n,\x7f\x80\x81,\x1b[2J\x1b]0;x\x07"
                        % alpha.encode())
        result = self.lab.run(["-H", path, "-t", "1"])
        self.assertOutput(result, "<banner>Pinging multiple hosts with 32 bytes of data every"
                                  " 1 ms:\n\n"
                          + "Host not found: \xff\xfe??  error 11001\n" + reply(2, alpha)
                          + "Host not found: %n%n%n  error 11001\n"
                          + "Host not found: ?\x80\x81  error 11001\n"
                          + "Host not found: ?[2J?]0;x?  error 11001\n"
                          + labsupport.totals(1, 1), code=2)

    def test_control_bytes_in_names_on_the_command_line_and_of_files(self):
        alpha = self.lab["ALPHA_ADDR"]
        path = os.path.join(self.directory, "\x1b[2J.txt")
        with self.lab.ping_sockets(allowed=True):
            result = self.lab.run([alpha, "-i", "-n", "1", "\x1b[1m", "-H", path, "-x\x08"])
        self.assertOutput(result, "Host ?[1m ignored\n\nFile %s not found.\nInvalid Option: -x?\n"
                          % path.replace("\x1b", "?") + "<banner>\n" + many_header()
                          + reply(1, alpha) + labsupport.totals(1, 1))

    def test_a_host_file_of_a_gigabyte(self):
        # A gigabyte of blank lines with a host at each end: read whole, scanned to the end.
        alpha, beta = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        path = os.path.join(self.directory, "huge.txt")
        chunk = b" \t\r\n" * (16 << 20)
        with open(path, "wb") as hosts:
            hosts.write(alpha.encode() + b"\n")
            for _ in range((1 << 30) // len(chunk)):
                hosts.write(chunk)
            hosts.write(beta.encode() + b"\n")
        result = self.lab.run(["-H", path, "-t", "1"])
        os.remove(path)
        self.assertOutput(result, "<banner>Pinging multiple hosts with 32 bytes of data every"
                                  " 1 ms:\n\n" + reply(1, alpha) + reply(2, beta)
                          + labsupport.totals(2, 2))


def all_times_masked(text):
    return re.sub(r"\d+\.\d ms", "X ms", labsupport.masked(text))


class ClosedStandardStreams(LabTestCase):
    def test_a_log_written_with_standard_output_closed_is_the_normal_output(self):
        # A closed descriptor 1 used to be taken by the time-zone file, the raw socket, then the
        # log, which got every message twice.
        alpha = self.lab["ALPHA_ADDR"]
        args = [alpha, "-n", "3", "-t", "20"]
        normal = self.lab.run(args)
        self.assertOutput(normal, "<banner>" + header(alpha, interval=20)
                          + "".join(reply(n, alpha) for n in range(1, 4))
                          + statistics(alpha, 3, 3))
        for closed in (">&-", ">&- <&- 2>&-"):
            with self.subTest(closed=closed), tempfile.TemporaryDirectory() as directory:
                log = os.path.join(directory, "run.log")
                wrapper = ("sh", "-c", 'exec "$0" "$@" ' + closed)
                result = self.lab.run(args + ["-L", log], wrapper=wrapper)
                self.assertEqual((result.out, result.err, result.code), ("", "", 0), result)
                # Every time masked: replies under 0.05 ms leave one run's statistics at 0.0 ms,
                # which masked() keeps as the figures of a run without replies.
                with open(log, encoding="latin-1") as text:
                    self.assertEqual(all_times_masked(text.read()), all_times_masked(normal.out))


if __name__ == "__main__":
    labsupport.main()

#!/usr/bin/env python3
"""Hostile input through the real resolver and file system: format conversions in outside texts,
a host text longer than a message, a flood of arguments and binary garbage as a host file."""

import os
import random
import shutil
import tempfile

import labsupport
from labsupport import USAGE_HINT, LabTestCase, header, reply, statistics

MESSAGE_LIMIT = 65535


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

    def test_a_good_host_after_a_garbage_file_is_still_pinged(self):
        alpha = self.lab["ALPHA_ADDR"]
        path = os.path.join(self.directory, "mixed.txt")
        with open(path, "wb") as hosts:
            hosts.write(b"\xff\xfe\x01\x02,%s,%%n%%n%%n,\x7f\x80\x81" % alpha.encode())
        result = self.lab.run(["-H", path, "-t", "1"])
        self.assertOutput(result, "<banner>Pinging multiple hosts with 32 bytes of data every"
                                  " 1 ms:\n\n"
                          + "Host not found: \xff\xfe\x01\x02  error 11001\n" + reply(2, alpha)
                          + "Host not found: %n%n%n  error 11001\n"
                          + "Host not found: \x7f\x80\x81  error 11001\n"
                          + labsupport.totals(1, 1), code=2)

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


if __name__ == "__main__":
    labsupport.main()

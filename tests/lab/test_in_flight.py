#!/usr/bin/env python3
"""Many requests in flight (-p) in the lab: the same lines, numbers, totals and exit code as the
same run one request at a time, over a /16 of which every other address answers."""

import os
import re
import signal
import tempfile

import labsupport
from labsupport import (NOBODY, LabTestCase, all_times_masked, many_header, reply, timed_out,
                        totals)


def wide(lab, last_octets):
    """Addresses of the lab's /16: (third, fourth) octet pairs."""
    prefix = lab["WIDE_BLOCK"].split(".0.0/")[0]
    return ["%s.%d.%d" % (prefix, third, fourth) for third, fourth in last_octets]


class SameAsOneByOne(LabTestCase):
    def test_answering_silent_and_unknown_hosts_over_two_passes(self):
        hosts = wide(self.lab, [(0, n) for n in range(1, 31)])
        hosts += [self.lab["SILENT_ADDR"], self.lab["UNKNOWN_NAME"], self.lab["ALPHA_NAME"]]
        self.assertSameRun(hosts + ["-n", "2", "-w", "100", "-t", "50"])

    def test_a_sweep_and_random_sizes(self):
        hosts = wide(self.lab, [(1, n) for n in range(1, 9)])
        self.assertSameRun(hosts + ["-S", "100/102", "-w", "100", "-t", "20"])
        # The sizes are drawn afresh from the calendar second each run starts in.
        self.assertSameRun(hosts + ["-R", "40/60", "-n", "2", "-w", "100", "-t", "20"],
                           mask=lambda text: re.sub(r"bytes=\d+", "bytes=N",
                                                    all_times_masked(text)))

    def test_stamps_names_limited_output_and_the_log(self):
        hosts = wide(self.lab, [(2, n) for n in range(1, 7)]) + [self.lab["FAR_ADDR"]]
        for options in (["-T"], ["-D"], ["-l"], ["-a"], ["-r", "3"], ["-f", "-s", "1473"]):
            with self.subTest(options=options):
                self.assertSameRun(hosts + ["-w", "100"] + options, windows=(4,))
        with tempfile.TemporaryDirectory() as directory:
            logs = [os.path.join(directory, "p%d.log" % window) for window in (1, 4)]
            runs = [self.lab.run(hosts + ["-w", "100", "-p", str(window), "-L", log])
                    for window, log in zip((1, 4), logs)]
            texts = []
            for run, log in zip(runs, logs):
                with open(log, encoding="latin-1") as stream:
                    texts.append(stream.read())
                self.assertEqual(texts[-1], run.out)
            self.assertEqual(all_times_masked(texts[1]), all_times_masked(texts[0]))

    def test_ttl_expiry_gives_the_coded_time_out_of_each_request(self):
        far = self.lab["FAR_ADDR"]
        self.assertSameRun([far, self.lab["ALPHA_ADDR"], far, "-h", "1", "-w", "200"],
                           windows=(3,))


    def test_through_the_echo_service_and_after_a_refused_raw_socket(self):
        far, alpha = self.lab["FAR_ADDR"], self.lab["ALPHA_ADDR"]
        hosts = wide(self.lab, [(3, n) for n in range(1, 21)]) + [far]
        with self.lab.ping_sockets(allowed=True):
            self.assertSameRun(hosts + ["-i", "-w", "100"], windows=(8,))
            # Without the raw-socket right every host switches, and the routes are dropped once.
            self.assertSameRun(hosts + ["-w", "100", "-r", "2"], windows=(8,), user=NOBODY)
            # The router's time-exceeded message is the echo service's error status.
            self.assertSameRun([far, alpha, far, "-i", "-h", "1", "-w", "200"], windows=(3,))


class WholePrefix(LabTestCase):
    def test_every_address_of_the_slash_16_in_order(self):
        result = self.lab.run(["-g", self.lab["WIDE_BLOCK"].replace(".0.0/16", ".0.1/")
                               + self.lab["WIDE_BLOCK"].replace(".0.0/16", ".255.254"),
                               "-w", "300", "-p", "4096"], timeout=120)
        expected = []
        number = 0
        for third in range(256):
            for fourth in range(1, 255):
                number += 1
                address = wide(self.lab, [(third, fourth)])[0]
                expected.append(reply(number, address) if fourth % 2 == 0 else timed_out(address))
        # The last address of the list (.255.254) answers: the run ends with exit code 0.
        self.assertOutput(result, "<banner>" + many_header() + "".join(expected)
                          + totals(number, number // 2))


class Retries(LabTestCase):
    def test_tries_sent_again_find_every_host_behind_heavy_random_loss(self):
        # Three requests in ten dropped on the way: eleven tries miss a host once in 500,000.
        hosts = wide(self.lab, [(4, n) for n in range(2, 62, 2)])
        ruleset = """table ip qvloss {
    chain input {
        type filter hook input priority -10; policy accept;
        icmp type echo-request numgen random mod 100 < 30 drop
    }
}
"""
        expected = ("<banner>" + many_header()
                    + "".join(reply(number, host) for number, host in enumerate(hosts, start=1))
                    + totals(len(hosts), len(hosts)))
        with self.lab.nft(self.lab["ALPHA_NS"], ruleset, "qvloss"):
            for window in ("1", "8"):
                with self.subTest(window=window):
                    result = self.lab.run(hosts + ["-w", "100", "--retries", "10", "-p", window])
                    self.assertOutput(result, expected)


class Stop(LabTestCase):
    def test_ctrl_c_lets_the_requests_in_flight_finish_then_prints_the_totals(self):
        running = self.lab.start(["-g", self.lab["WIDE_BLOCK"].replace(".0.0/16", ".0.1/")
                                  + self.lab["WIDE_BLOCK"].replace(".0.0/16", ".255.254"),
                                  "-w", "1000", "-p", "64"])
        running.wait_for(r"Reply\[200\]")
        running.send(signal.SIGINT)
        result = running.finish()
        lines = result.out.split(many_header())[1].split("\nPing statistics")[0].splitlines()
        # Every dispatch begun is printed, in order, with no gap in the numbering.
        for number, line in enumerate(lines, start=1):
            match = re.match(r"Reply\[(\d+)\]|(\S+): request timed out", line)
            self.assertIsNotNone(match, line)
            if match.group(1):
                self.assertEqual(int(match.group(1)), number)
        self.assertGreaterEqual(len(lines), 200)
        self.assertLess(len(lines), 65024)
        self.assertEqual(labsupport.statistics_problems(result.out), [])
        self.assertIn("Sent = %d," % len(lines), result.out)


if __name__ == "__main__":
    labsupport.main()

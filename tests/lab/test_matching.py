#!/usr/bin/env python3
"""Only the request's own answer counts, on both engines, with and without -p: replies from
another host, replies echoing other data, errors quoting another destination, queued copies, and
two instances whose identifiers are the same."""

import os
import re
import shutil
import tempfile
import time

import labsupport
from labsupport import LabTestCase

UNSHARE_PID = ["unshare", "--pid", "--fork"]

# The engines and run kinds; a second, answering host makes -p a run with many in flight.
RUNS = [("raw", []), ("raw -p", ["-p", "2"]), ("echo service", ["-i"]),
        ("echo service -p", ["-i", "-p", "2"])]


def responder_address(number, ipv6=False):
    return "fd00:5152:8::%d" % number if ipv6 else "198.18.8.%d" % number


class OneMatchingRule(LabTestCase):
    def each_run(self, target, extra=()):
        """Yields (name, result) for every engine and run kind over target and a live host."""
        alpha = self.lab["ALPHA_ADDR6" if ":" in target else "ALPHA_ADDR"]
        for name, options in RUNS:
            with self.lab.ping_sockets(allowed=True):
                result = self.lab.run([target, alpha, "-n", "3", "-w", "300", "-t", "20"]
                                      + list(extra) + options)
            with self.subTest(run=name):
                alpha_replies = re.findall(r"^Reply\[\d+\] from %s:" % re.escape(alpha),
                                           result.out, re.M)
                self.assertEqual(len(alpha_replies), 3, result)
                yield name, result

    def assert_never_answered(self, target, *faults):
        with self.lab.responder(target, *faults):
            for name, result in self.each_run(target):
                with self.subTest(run=name):
                    self.assertNotRegex(result.out, r"(?m)^Reply\[\d+\] from (198\.18\.8\.|fd00:5152:8:)",
                                        result)
                    self.assertNotIn("Incorrect IP status", result.out, result)
                    timeouts = re.findall(r"^%s: request timed out( \([4-7]\))?$"
                                          % re.escape(target), result.out, re.M)
                    self.assertEqual(len(timeouts), 3, result)

    def assert_always_answered(self, target, *faults):
        with self.lab.responder(target, *faults):
            for name, result in self.each_run(target):
                with self.subTest(run=name):
                    replies = re.findall(r"^Reply\[\d+\] from %s:" % re.escape(target),
                                         result.out, re.M)
                    self.assertEqual(len(replies), 3, result)
                    self.assertNotIn("timed out", result.out, result)

    def test_replies_from_another_host_never_count(self):
        for ipv6 in (False, True):
            with self.subTest(ipv6=ipv6):
                self.assert_never_answered(responder_address(140, ipv6), "--from",
                                           responder_address(141, ipv6))

    def test_a_reply_echoing_other_data_never_counts(self):
        # As a reply to a request 65,536 earlier brings its number back with its own data.
        for ipv6 in (False, True):
            with self.subTest(ipv6=ipv6):
                self.assert_never_answered(responder_address(142, ipv6), "--data-off")

    def test_an_error_about_another_destination_takes_nothing_away(self):
        for ipv6 in (False, True):
            with self.subTest(ipv6=ipv6):
                self.assert_always_answered(responder_address(143, ipv6), "--other", "1",
                                            "--quote", responder_address(99, ipv6))

    def test_twenty_five_copies_of_each_reply_count_once(self):
        for ipv6 in (False, True):
            with self.subTest(ipv6=ipv6):
                self.assert_always_answered(responder_address(144, ipv6), "--duplicate", "24")

    def test_copies_left_queued_in_a_single_host_run_count_for_nothing(self):
        # One socket serves the whole run: the copies of a reply wait there through the pause.
        for ipv6 in (False, True):
            target = responder_address(147, ipv6)
            with self.lab.responder(target, "--duplicate", "24"):
                for name, options in (RUNS[0], RUNS[2]):
                    with self.lab.ping_sockets(allowed=True):
                        result = self.lab.run([target, "-n", "4", "-w", "300", "-t", "50"]
                                              + options)
                    with self.subTest(run=name, ipv6=ipv6):
                        replies = re.findall(r"^Reply\[\d+\] from %s:" % re.escape(target),
                                             result.out, re.M)
                        self.assertEqual(len(replies), 4, result)
                        self.assertIn("Received = 4, Lost = 0 (0% loss)", result.out, result)


class NumbersThatComeRound(LabTestCase):
    def test_a_reply_replayed_when_its_number_comes_round_never_counts(self):
        # 256 hosts a pass: the silent one's request comes every 256th, so its number comes round
        # after 256 passes, and the responder then sends it the reply of 256 requests before.
        for ipv6 in (False, True):
            with self.subTest(ipv6=ipv6):
                self.assert_replay_never_counts(ipv6)

    def assert_replay_never_counts(self, ipv6):
        silent = responder_address(146, ipv6)
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        path = os.path.join(directory, "hosts.txt")
        others = (["fd00:5152:2::%x" % n for n in range(1, 255)] if ipv6
                  else ["198.18.2.%d" % n for n in range(1, 255)])
        hosts = [silent, self.lab["ALPHA_ADDR6" if ipv6 else "ALPHA_ADDR"]] + others
        with open(path, "w") as file:
            file.write(",".join(hosts))
        # With -p, where 65,536 requests take seconds; one request at a time, the unit tables and
        # the --data-off case above show the same rule.
        with self.lab.responder(silent, "--no-reply", "--replay", "256"):
            # With a pattern every request of the echo service carries the same data.
            for name, options in RUNS[1::2] + [("pattern", ["-i", "-p", "2", "-d", "abc"])]:
                with self.lab.ping_sockets(allowed=True):
                    result = self.lab.run(["-H", path, "-n", "257", "-w", "30", "-t", "1", "-l"]
                                          + options, timeout=200)
                with self.subTest(run=name):
                    self.assertNotRegex(result.out, r"(?m)^Reply\[\d+\] from %s:"
                                        % re.escape(silent), result.out[-2000:])
                    timeouts = re.findall(r"^%s: request timed out( \([4-7]\))?$"
                                          % re.escape(silent), result.out, re.M)
                    self.assertEqual(len(timeouts), 257, result.out[-2000:])


class CollidingIdentifiers(LabTestCase):
    def test_two_instances_with_one_identifier_keep_their_own_replies(self):
        # Each is process 1 of its own PID namespace, so both raw identifiers are 1.
        for ipv6 in (False, True):
            with self.subTest(ipv6=ipv6):
                self.assert_instances_keep_apart(ipv6)

    def assert_instances_keep_apart(self, ipv6):
        silent = responder_address(145, ipv6)
        alpha = self.lab["ALPHA_ADDR6" if ipv6 else "ALPHA_ADDR"]
        with self.lab.responder(silent, "--drop"):
            first = self.lab.start([silent, "-n", "3", "-w", "1500"], wrapper=UNSHARE_PID)
            try:
                # The other instance's first replies come while the first awaits its request 1.
                time.sleep(0.3)
                second = self.lab.run([alpha, "-n", "15", "-t", "100"], wrapper=UNSHARE_PID)
                result = first.finish()
            finally:
                first.kill()
        self.assertEqual(len(re.findall(r"^Reply\[", second.out, re.M)), 15, second)
        self.assertNotIn("Reply[", result.out, result)
        self.assertIn("Received = 0, Lost = 3 (100% loss)", result.out, result)

if __name__ == "__main__":
    labsupport.main()

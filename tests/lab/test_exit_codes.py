#!/usr/bin/env python3
"""Exit codes end to end: 0 only when the last echo was answered, never for a failure."""

import os
import tempfile

import labsupport
from labsupport import (DF_MESSAGE, NOBODY, NOT_LOADABLE, PING_SOCKETS_FIX, USAGE_HINT,
                        LabTestCase, all_times_masked, header, many_header, reply,
                        send_unreachable, statistics, timed_out, totals)


class ExitCodes(LabTestCase):
    def test_a_target_outside_the_lab_fails_to_send_at_once(self):
        # The client has no default route: sendto fails with "Network is unreachable". The pause
        # that follows is test_fast_failures' concern.
        outside = self.lab["OUTSIDE_ADDR"]
        result = self.lab.run([outside, "-n", "2", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(outside, interval=50)
                          + send_unreachable() * 2
                          + statistics(outside, 2, 0), code=1)

    def test_the_echo_service_reports_the_unreachable_net(self):
        outside = self.lab["OUTSIDE_ADDR"]
        with self.lab.ping_sockets(allowed=True):
            result = self.lab.run([outside, "-i", "-n", "1"])
        # Wine's ICMP.DLL gives the general failure for a send refused on this host.
        status = labsupport.on_wine(11002, 11050)
        self.assertOutput(result, "<banner>" + header(outside)
                          + "Incorrect IP status: %d\n" % status + statistics(outside, 1, 0),
                          code=5)

    def test_a_failed_send_then_a_reply_ends_with_0(self):
        outside, alpha = self.lab["OUTSIDE_ADDR"], self.lab["ALPHA_ADDR"]
        result = self.lab.run([outside, alpha, "-t", "50"])
        self.assertOutput(result, "<banner>" + many_header(interval=50)
                          + send_unreachable() + reply(2, alpha)
                          + totals(2, 1))

    def test_a_reply_then_a_failed_send_ends_with_1(self):
        outside, alpha = self.lab["OUTSIDE_ADDR"], self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, outside, "-t", "50"])
        self.assertOutput(result, "<banner>" + many_header(interval=50) + reply(1, alpha)
                          + send_unreachable() + totals(2, 1), code=1)

    def test_a_time_out_after_a_reply_ends_with_1(self):
        alpha, silent = self.lab["ALPHA_ADDR"], self.lab["SILENT_ADDR"]
        result = self.lab.run([alpha, silent, "-w", "100"])
        self.assertOutput(result, "<banner>" + many_header() + reply(1, alpha)
                          + timed_out(silent) + totals(2, 1), code=1)

    @labsupport.not_under_wine("ping_group_range is a Linux setting")
    def test_ping_sockets_refused_in_a_many_host_run(self):
        # The library is tried once: one message, later hosts are skipped silently.
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        with self.lab.ping_sockets(allowed=False):
            result = self.lab.run([alpha, alpha2, "-i", "-n", "2", "-t", "50"])
        self.assertOutput(result, "<banner>" + many_header(interval=50) + NOT_LOADABLE
                          + PING_SOCKETS_FIX + "\n" + "No ping statistics available\n", code=2)

    def test_no_host_at_all_ends_with_2(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run(["-n", "2", alpha])
        self.assertOutput(result, "Host %s ignored\n<banner>\nNo host specified\n" % alpha,
                          code=2, stderr=USAGE_HINT)

    def test_a_negative_count_pings_nothing_and_ends_with_0(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        result = self.lab.run([alpha, alpha2, "-n", "-3"])
        self.assertOutput(result, "<banner>" + many_header() + "No ping statistics available\n")

    def test_dont_fragment_refusals_end_with_3(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "1", "-f", "-s", "2000"])
        self.assertOutput(result, "<banner>" + header(alpha, 2000) + DF_MESSAGE
                          + statistics(alpha, 1, 0), code=3)

    def test_an_unresolvable_last_host_ends_with_2(self):
        alpha, unknown = self.lab["ALPHA_ADDR"], self.lab["UNKNOWN_NAME"]
        result = self.lab.run([alpha, unknown, "-t", "50"])
        self.assertOutput(result, "<banner>" + many_header(interval=50) + reply(1, alpha)
                          + "Host not found: %s  error 11001\n" % unknown + totals(1, 1),
                          code=2)

    def test_usage_ends_with_255(self):
        result = self.lab.run(["-?"])
        self.assertOutput(result, "<banner>", code=255, stderr=None)
        self.assertTrue(result.err.startswith("Usage:\n"), result)



class LogFileFailures(LabTestCase):
    """A log that cannot be opened or written: one line on standard error with the path and the
    system's reason, and the run's output and exit code as without -L."""

    @labsupport.not_under_wine("Linux paths, users and error texts")
    def test_each_failure_is_said_once_and_changes_nothing_else(self):
        alpha, silent = self.lab["ALPHA_ADDR"], self.lab["SILENT_ADDR"]
        folder = tempfile.mkdtemp()
        self.addCleanup(os.rmdir, folder)
        cases = [
            ("missing folder", folder + "/missing/run.log", None,
             "Unable to open log file %s/missing/run.log: No such file or directory\n" % folder),
            ("folder as path", folder, None,
             "Unable to open log file %s: Is a directory\n" % folder),
            ("no permission", "/root/quilvane-run.log", NOBODY,
             "Unable to open log file /root/quilvane-run.log: Permission denied\n"),
            ("full device", "/dev/full", None,
             "Unable to write log file /dev/full: No space left on device\n"),
        ]
        for hosts, code in (([alpha], 0), ([alpha, silent], 1)):
            args = hosts + ["-n", "1", "-w", "200"]
            for name, path, user, said in cases:
                with self.subTest(case=name, code=code), self.lab.ping_sockets(allowed=True):
                    plain = self.lab.run(args, user=user)
                    logged = self.lab.run(args + ["-L", path], user=user)
                    # A reply of 0.0 ms leaves the totals looking like those of no reply at all.
                    self.assertEqual(all_times_masked(logged.out),
                                     all_times_masked(plain.out))
                    self.assertEqual((logged.code, plain.code), (code, code))
                    self.assertEqual(logged.err, said)
        self.assertFalse(os.path.exists("/root/quilvane-run.log"))

if __name__ == "__main__":
    labsupport.main()

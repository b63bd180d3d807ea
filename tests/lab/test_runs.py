#!/usr/bin/env python3
"""Runs over hosts and sizes end to end in the lab: passes, numbering across the run, sweeps,
random sizes, host files, ranges, the resolved list, the fallback per dispatch and signals."""

import os
import re
import signal
import tempfile
import time

import labsupport
from labsupport import (NOBODY, RAW_REFUSED, ROUTES_DISABLED, SWITCHING, USAGE_HINT,
                        LabTestCase, many_header, reply, timed_out, totals)


def sweep_header(first, last, interval):
    return "Pinging host with data sweep (%d to %d) every %d ms:\n\n" % (first, last, interval)


def random_header(low, high, interval, many=False):
    return "Pinging %s with random size (%d to %d) and data every %d ms:\n\n" % (
        "multiple hosts" if many else "host", low, high, interval)


class Passes(LabTestCase):
    def test_two_hosts_without_a_count_make_one_pass(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        result = self.lab.run([alpha, alpha2, "-t", "50"])
        self.assertOutput(result, "<banner>" + many_header(interval=50) + reply(1, alpha)
                          + reply(2, alpha2) + totals(2, 2))

    def test_replies_are_numbered_across_passes(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        result = self.lab.run([alpha, alpha2, "-n", "3", "-t", "50"])
        self.assertOutput(result, "<banner>" + many_header(interval=50)
                          + reply(1, alpha) + reply(2, alpha2) + "\n"
                          + reply(3, alpha) + reply(4, alpha2) + "\n"
                          + reply(5, alpha) + reply(6, alpha2) + totals(6, 6))

    def test_one_wait_between_two_passes_and_none_after_the_last(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        result = self.lab.run([alpha, alpha2, "-n", "2", "-t", "1500"])
        self.assertOutput(result, "<banner>" + many_header(interval=1500) + reply(1, alpha)
                          + reply(2, alpha2) + "\n" + reply(3, alpha) + reply(4, alpha2)
                          + totals(4, 4))
        self.assertGreaterEqual(result.elapsed, 1.5)
        self.assertNoPause(result, 2.9)

    def test_every_host_of_the_answering_block_in_one_pass(self):
        first, last = "198.18.2.1", "198.18.2.200"
        result = self.lab.run(["-g", "%s/%s" % (first, last), "-w", "500"])
        self.assertOutput(result, "<banner>" + many_header()
                          + "".join(reply(n, "198.18.2.%d" % n) for n in range(1, 201))
                          + totals(200, 200))

    def test_all_time_outs_show_full_loss_and_no_times(self):
        silent = self.lab["SILENT_ADDR"]
        result = self.lab.run([silent, silent, "-w", "100"])
        self.assertOutput(result, "<banner>" + many_header() + timed_out(silent) * 2
                          + totals(2, 0), code=1)

    def test_limited_output_keeps_replies_and_pass_separators(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        result = self.lab.run([alpha, alpha2, "-n", "2", "-t", "50", "-l"])
        self.assertOutput(result, reply(1, alpha) + reply(2, alpha2) + "\n" + reply(3, alpha)
                          + reply(4, alpha2))

    def test_a_range_given_in_the_next_argument(self):
        result = self.lab.run(["-g", "198.18.2.254/198.18.3.2", "-w", "100", "-t", "50"])
        # .2.255 and .3.0 are left out; .3.1 is the client's own address, .3.2 the silent host.
        self.assertOutput(result, "<banner>" + many_header(interval=50)
                          + reply(1, "198.18.2.254") + reply(2, "198.18.3.1")
                          + timed_out("198.18.3.2") + totals(3, 2), code=1)


class Sizes(LabTestCase):
    def test_a_sweep_over_one_host(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-S", "10/12", "-t", "50"])
        self.assertOutput(result, "<banner>" + sweep_header(10, 12, 50) + reply(1, alpha, 10)
                          + reply(2, alpha, 11) + reply(3, alpha, 12) + totals(3, 3))

    def test_a_sweep_waits_between_sizes_but_not_after_the_last(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-S", "10/11", "-t", "1500"])
        self.assertOutput(result, "<banner>" + sweep_header(10, 11, 1500)
                          + reply(1, alpha, 10) + reply(2, alpha, 11) + totals(2, 2))
        self.assertGreaterEqual(result.elapsed, 1.5)
        self.assertNoPause(result, 2.9)

    def test_a_sweep_with_a_count_separates_its_passes(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-S", "10/11", "-n", "2", "-t", "50"])
        self.assertOutput(result, "<banner>" + sweep_header(10, 11, 50) + reply(1, alpha, 10)
                          + reply(2, alpha, 11) + "\n" + reply(3, alpha, 10)
                          + reply(4, alpha, 11) + totals(4, 4))

    def test_a_sweep_over_many_hosts_goes_size_by_size(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        result = self.lab.run([alpha, alpha2, "-S", "10/11", "-t", "50"])
        self.assertOutput(result, "<banner>"
                          + "Pinging multiple hosts with data sweep (10 to 11) every 50 ms:\n\n"
                          + reply(1, alpha, 10) + reply(2, alpha2, 10) + reply(3, alpha, 11)
                          + reply(4, alpha2, 11) + totals(4, 4))

    def test_random_sizes_stay_below_the_upper_bound(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-R", "10/12", "-t", "50"])
        sizes = [int(s) for s in re.findall(r"bytes=(\d+)", result.out)]
        self.assertEqual(len(sizes), 4, result)
        self.assertTrue(set(sizes) <= {10, 11}, result)
        self.assertOutput(result, "<banner>" + random_header(10, 12, 50)
                          + "".join(reply(n, alpha, size) for n, size in enumerate(sizes, 1))
                          + totals(4, 4))

    def test_random_sizes_replace_given_data(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-d", "abc", "-R", "10/20", "-n", "1"])
        sizes = [int(s) for s in re.findall(r"bytes=(\d+)", result.out)]
        self.assertEqual(len(sizes), 1, result)
        self.assertIn(sizes[0], range(10, 20))
        self.assertOutput(result, "<banner>"
                          + "Unable to ping with specified data. Using random data.\n"
                          + random_header(10, 20, 1000) + reply(1, alpha, sizes[0])
                          + totals(1, 1))

    def test_one_random_size_per_pass_for_every_host(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        result = self.lab.run([alpha, alpha2, "-R", "10/1000", "-n", "3", "-t", "50"])
        sizes = [int(s) for s in re.findall(r"bytes=(\d+)", result.out)]
        self.assertEqual(len(sizes), 6, result)
        self.assertEqual(sizes[0::2], sizes[1::2])
        expected = "".join(reply(n, alpha if n % 2 else alpha2, size)
                           for n, size in enumerate(sizes, 1))
        self.assertOutput(result, "<banner>" + random_header(10, 1000, 50, many=True)
                          + expected + totals(6, 6))


class HostSources(LabTestCase):
    def host_file(self, text):
        directory = tempfile.mkdtemp()
        self.addCleanup(lambda: (os.unlink(path), os.rmdir(directory)))
        path = os.path.join(directory, "hosts.txt")
        with open(path, "wb") as hosts:
            hosts.write(text)
        return path

    def test_one_host_from_a_file_is_a_many_host_run(self):
        alpha = self.lab["ALPHA_ADDR"]
        path = self.host_file(alpha.encode() + b"\r\n")
        result = self.lab.run(["-H", path, "-t", "50"])
        self.assertOutput(result, "<banner>" + many_header(interval=50) + reply(1, alpha)
                          + totals(1, 1))

    def test_a_comma_delimited_file_with_names(self):
        alpha, far = self.lab["ALPHA_ADDR"], self.lab["FAR_ADDR"]
        path = self.host_file(b"alpha,far.lab.test,198.18.1.3")
        result = self.lab.run(["-H", path, "-t", "50"])
        self.assertOutput(result, "<banner>" + many_header(interval=50) + reply(1, alpha)
                          + reply(2, far, ttl=62) + reply(3, "198.18.1.3") + totals(3, 3))

    def test_a_file_with_lf_line_ends_and_blanks(self):
        alpha, far = self.lab["ALPHA_ADDR"], self.lab["FAR_ADDR"]
        path = self.host_file(b"  alpha\t\n\nfar\n")
        result = self.lab.run(["-H", path, "-t", "50"])
        self.assertOutput(result, "<banner>" + many_header(interval=50) + reply(1, alpha)
                          + reply(2, far, ttl=62) + totals(2, 2))

    def test_files_without_a_size_are_read_to_their_end(self):
        # Standard input as "-" and as /dev/stdin, and a shell's process substitution: pipes,
        # whose size says nothing.
        alpha, far = self.lab["ALPHA_ADDR"], self.lab["FAR_ADDR"]
        expected = ("<banner>" + many_header(interval=50) + reply(1, alpha)
                    + reply(2, far, ttl=62) + totals(2, 2))
        # /dev/stdin is a Linux path; "-" works on both systems.
        for path in labsupport.on_wine(("-", "/dev/stdin"), ("-",)):
            with self.subTest(path=path):
                result = self.lab.run(["-H", path, "-t", "50"], stdin=b"alpha\nfar\n")
                self.assertOutput(result, expected)

    @labsupport.not_under_wine("process substitution is a shell's")
    def test_a_process_substitution_is_read_to_its_end(self):
        alpha, far = self.lab["ALPHA_ADDR"], self.lab["FAR_ADDR"]
        # The writer starts late, so that the program meets an empty pipe first.
        script = 'exec "$0" -H <(sleep 0.2; printf "alpha\\n"; sleep 0.1; printf "far\\n") "$@"'
        result = self.lab.run(["-t", "50"], wrapper=("bash", "-c", script))
        self.assertOutput(result, "<banner>" + many_header(interval=50) + reply(1, alpha)
                          + reply(2, far, ttl=62) + totals(2, 2))

    def test_a_missing_file_gives_no_host(self):
        result = self.lab.run(["-H", "/nonexistent/hosts.txt", "-t", "50"])
        self.assertOutput(result, "\nFile /nonexistent/hosts.txt not found.\n<banner>"
                          + "No host specified\n", code=2, stderr=USAGE_HINT)

    def test_the_resolved_list_with_names(self):
        alpha, unnamed, far = (self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR3"],
                               self.lab["FAR_ADDR"])
        unknown = self.lab["UNKNOWN_NAME"]
        result = self.lab.run([alpha, unnamed, unknown, far, "-a", "-t", "50"])
        self.assertOutput(result, "<banner>" + many_header(interval=50)
                          + "Resolved hostname list:\n"
                          + "%s [%s]\n%s\n%s [%s]\n\n" % (self.lab["ALPHA_FQDN"], alpha, unnamed,
                                                          self.lab["FAR_FQDN"], far)
                          + reply(1, alpha) + reply(2, unnamed)
                          + "Host not found: %s  error 11001\n" % unknown
                          + reply(4, far, ttl=62) + totals(3, 3))


class LimitedOutput(LabTestCase):
    def test_no_resolved_list_with_limited_output(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        result = self.lab.run([alpha, alpha2, "-a", "-l", "-t", "50"])
        self.assertOutput(result, reply(1, alpha) + reply(2, alpha2))

    @labsupport.not_under_wine("part of it runs as another user, who cannot use root's Wine prefix")
    def test_messages_that_stay_with_limited_output(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        result = self.lab.run(["-l", "-n", "1", alpha])
        self.assertOutput(result, "Host %s ignored\nNo host specified\n" % alpha, code=2,
                          stderr=USAGE_HINT)
        with self.lab.ping_sockets(allowed=True):
            result = self.lab.run([alpha, "-l", "-n", "1", "-r", "2"], user=NOBODY)
            self.assertOutput(result, RAW_REFUSED + SWITCHING + ROUTES_DISABLED + reply(1, alpha))
            result = self.lab.run([alpha, alpha2, "-l", "-i", "-r", "2", "-t", "50"])
            self.assertOutput(result, ROUTES_DISABLED + reply(1, alpha) + reply(2, alpha2))


class Fallback(LabTestCase):
    @labsupport.not_under_wine("another user cannot use root's Wine prefix")
    def test_without_raw_sockets_every_dispatch_switches(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        with self.lab.ping_sockets(allowed=True):
            result = self.lab.run([alpha, alpha2, "-r", "3", "-t", "50"], user=NOBODY)
        self.assertOutput(result, "<banner>" + many_header(interval=50)
                          + RAW_REFUSED + SWITCHING + ROUTES_DISABLED + reply(1, alpha)
                          + RAW_REFUSED + SWITCHING + reply(2, alpha2) + totals(2, 2))

    def test_the_service_chosen_with_route_options(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        with self.lab.ping_sockets(allowed=True):
            result = self.lab.run([alpha, alpha2, "-i", "-r", "3", "-t", "50"])
        self.assertOutput(result, "<banner>" + ROUTES_DISABLED + many_header(interval=50)
                          + reply(1, alpha) + reply(2, alpha2) + totals(2, 2))


class Signals(LabTestCase):
    def test_sigint_in_a_pass_ends_the_running_echo_and_the_run(self):
        alpha, silent, alpha2 = (self.lab["ALPHA_ADDR"], self.lab["SILENT_ADDR"],
                                 self.lab["ALPHA_ADDR2"])
        running = self.lab.start([alpha, silent, alpha2, "-c", "-w", "3000"])
        try:
            running.wait_for(r"Reply\[1\]")
            time.sleep(0.3)  # inside the wait for the silent host, with time to spare
            running.send(signal.SIGINT)
            result = running.finish()
        finally:
            running.kill()
        self.assertOutput(result, "<banner>" + many_header() + reply(1, alpha)
                          + timed_out(silent) + totals(2, 1), code=1)

    @labsupport.not_under_wine("SIGQUIT ends Wine; Control-Break cannot be sent from Linux")
    def test_sigquit_in_a_many_host_run_prints_nothing(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        running = self.lab.start([alpha, alpha2, "-c", "-t", "2000"])
        try:
            running.wait_for(r"Reply\[2\]")
            running.send(signal.SIGQUIT)
            running.wait_for(r"Reply\[4\]")
            time.sleep(0.3)  # inside the wait between passes, with time to spare
            running.send(signal.SIGINT)
            result = running.finish()
        finally:
            running.kill()
        count = result.out.count("Reply[")
        passes = "".join(reply(n, alpha) + reply(n + 1, alpha2) + "\n"
                         for n in range(1, count, 2))
        self.assertOutput(result, "<banner>" + many_header(interval=2000) + passes
                          + totals(count, count))



class ReaderGone(LabTestCase):
    """A reader that stops reading (head) ends even a continuous run, as Ctrl-C would, also where
    SIGPIPE is ignored (some supervisors start programs so); the log still gets the statistics."""

    @labsupport.not_under_wine("SIGPIPE and a shell pipeline")
    def test_a_continuous_run_ends_when_its_reader_is_gone(self):
        log = os.path.join(tempfile.mkdtemp(), "run.log")
        self.addCleanup(lambda: (os.unlink(log), os.rmdir(os.path.dirname(log))))
        script = 'trap "" PIPE; "$0" "$@" | head -5; exit "${PIPESTATUS[0]}"'
        for args in (["-g", "198.18.2.1/198.18.2.40", "-c", "-p", "64", "-t", "10"],
                     [self.lab["ALPHA_ADDR"], "-c", "-t", "10"]):
            with self.subTest(args=args):
                result = self.lab.run(args + ["-L", log], wrapper=("bash", "-c", script),
                                      timeout=20)
                self.assertEqual(result.code, 0, repr(result))
                self.assertEqual(result.out, "\nQuilvane version 2.18\nWritten by the Quilvane "
                                 "developers\n\n" + result.out.splitlines(True)[4], repr(result))
                with open(log, encoding="ascii") as logged:
                    self.assertRegex(logged.read(), r"\nPing statistics for .*:\n\tPackets: "
                                     r"Sent = \d+, Received = \d+, Lost = 0 \(0% loss\)\n")

if __name__ == "__main__":
    labsupport.main()

#!/usr/bin/env python3
"""The real program under valgrind's memcheck in the lab: no memory errors and no leaks over
runs that touch every engine, the driver's loops, names, routes, files and faults."""

import os
import re
import shutil
import signal
import tempfile
import unittest

import labsupport
from labsupport import (NOBODY, RAW_REFUSED, ROUTES_DISABLED, ROUTES_DISABLED_FOR_IPV6,
                        SWITCHING, LabTestCase, header, many_header, receive_failed, reply,
                        statistics, timed_out, totals)

MEMCHECK = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=definite,indirect,possible",
            "--errors-for-leak-kinds=definite,indirect,possible", "--track-origins=yes",
            "--child-silent-after-fork=yes"]


class Memcheck(LabTestCase):
    def assertClean(self, result):
        self.assertIn("ERROR SUMMARY: 0 errors from 0 contexts", result.err, result)
        # Not even reachable blocks: everything the program allocates, it releases.
        self.assertIn("in use at exit: 0 bytes in 0 blocks", result.err, result)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(labsupport.CONFIG["binary"], "rb") as binary:
            if b"__asan_init" in binary.read():
                raise unittest.SkipTest("a sanitizer build: memcheck runs on the plain build")

    def assertOutput(self, result, expected, code=0, stderr=None):
        # Standard error holds valgrind's report.
        super().assertOutput(result, expected, code, stderr)

    def memcheck(self, args, **options):
        return self.lab.run(args, timeout=180, wrapper=MEMCHECK, **options)

    def test_a_single_host_with_names_routes_and_stamps(self):
        far = self.lab["FAR_ADDR"]
        result = self.memcheck([self.lab["FAR_NAME"], "-n", "2", "-t", "20", "-r", "3", "-a",
                                "-T", "-v", "4"])
        self.assertClean(result)
        route = ("\tRoute:  198.18.4.1  ->\n\t\tr1.lab.test [198.18.5.1]  ->\n"
                 "\t\tr2.lab.test [198.18.6.1]\n")
        line = reply(0, far, ttl=62, tos=4, stamp="hh:mm:ss : ")
        self.assertOutput(result, "<banner>" + header(far, interval=20, name=self.lab["FAR_FQDN"])
                          + line.replace("[0]", "[1]") + route + line.replace("[0]", "[2]")
                          + route + statistics(far, 2, 2))

    def test_many_hosts_from_a_file_a_range_and_a_sweep_with_a_log(self):
        alpha, silent = self.lab["ALPHA_ADDR"], self.lab["SILENT_ADDR"]
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        hosts = os.path.join(directory, "hosts.txt")
        with open(hosts, "wb") as text:
            text.write(b"alpha\r\n%s\r\n%s\r\n" % (silent.encode(),
                                                   self.lab["UNKNOWN_NAME"].encode()))
        log = os.path.join(directory, "run.log")
        result = self.memcheck(["-H", hosts, "-g", "198.18.2.1/198.18.2.2", "-S", "10/11",
                                "-w", "100", "-t", "20", "-a", "-L", log])
        self.assertClean(result)
        with open(log, encoding="latin-1") as text:
            self.assertEqual(text.read(), result.out)
        unknown = "Host not found: %s  error 11001\n" % self.lab["UNKNOWN_NAME"]
        self.assertOutput(result, "<banner>"
                          + "Pinging multiple hosts with data sweep (10 to 11) every 20 ms:\n\n"
                          + "Resolved hostname list:\nalpha.lab.test [alpha]\n%s [%s]\n"
                            "198.18.2.1\n198.18.2.2\n\n" % (self.lab["SILENT_FQDN"], silent)
                          + reply(1, alpha, 10) + timed_out(silent) + unknown
                          + reply(4, "198.18.2.1", 10) + reply(5, "198.18.2.2", 10)
                          + reply(6, alpha, 11) + timed_out(silent) + unknown
                          + reply(9, "198.18.2.1", 11) + reply(10, "198.18.2.2", 11)
                          + totals(8, 6))

    def test_random_sizes_and_the_fallback_to_ping_sockets(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        with self.lab.ping_sockets(allowed=True):
            result = self.memcheck([alpha, alpha2, "-R", "20/30", "-n", "2", "-t", "20"],
                                   user=NOBODY)
        self.assertClean(result)
        sizes = [int(size) for size in re.findall(r"bytes=(\d+)", result.out)]
        self.assertEqual(len(sizes), 4, result)
        dispatches = [RAW_REFUSED + SWITCHING + reply(n, (alpha, alpha2)[(n - 1) % 2], size)
                      for n, size in enumerate(sizes, 1)]
        self.assertOutput(result, "<banner>"
                          + "Pinging multiple hosts with random size (20 to 30) and data every"
                            " 20 ms:\n\n" + "".join(dispatches) + totals(4, 4))

    def test_faults_from_the_responder(self):
        address = "198.18.8.200"
        with self.lab.responder(address, "--foreign", "21", "--garbage", "40", "--only", "2"):
            result = self.memcheck([address, "-n", "3", "-w", "300", "-t", "20"])
        self.assertClean(result)
        self.assertOutput(result, "<banner>" + header(address, interval=20) + reply(1, address)
                          + timed_out(address) + reply(3, address) + statistics(address, 3, 2))

    def test_the_ttl_running_out_and_an_interrupted_continuous_run(self):
        far = self.lab["FAR_ADDR"]
        running = self.lab.start([far, "-c", "-h", "1", "-w", "100", "-t", "20"],
                                 wrapper=MEMCHECK)
        try:
            running.wait_for(r"request timed out \(4\)", timeout=120, count=2)
            running.send(signal.SIGQUIT)
            running.wait_for(r"request timed out \(4\)", timeout=120, count=3)
            running.send(signal.SIGINT)
            result = running.finish(timeout=120)
        finally:
            running.kill()
        self.assertClean(result)
        self.assertIn("\nPing statistics for %s:" % far, result.out)
        self.assertEqual(labsupport.statistics_problems(result.out), [])
        self.assertIn(receive_failed() * 2 + timed_out(far, 4), result.out)

    def test_the_echo_service_chosen(self):
        alpha = self.lab["ALPHA_ADDR"]
        with self.lab.ping_sockets(allowed=True):
            result = self.memcheck([self.lab["ALPHA_NAME"], "-i", "-n", "2", "-t", "20",
                                    "-d", "xyz"])
        self.assertClean(result)
        self.assertOutput(result, "<banner>" + header(alpha, interval=20,
                                                      name=self.lab["ALPHA_FQDN"])
                          + reply(1, alpha) + reply(2, alpha)
                          + statistics(self.lab["ALPHA_NAME"], 2, 2))

    def test_ipv4_and_ipv6_hosts_in_flight_through_both_engines(self):
        lab = self.lab
        alpha6, far6, silent6 = lab["ALPHA_ADDR6"], lab["FAR_ADDR6"], lab["SILENT_ADDR6"]
        alpha = lab["ALPHA_ADDR"]
        block = ["fd00:5152:2::1", "fd00:5152:2::2"]
        resolved = ("Resolved hostname list:\n%s [%s]\n%s [%s]\n%s [%s]\n%s\n%s\n%s\n\n"
                    % (lab["ALPHA6_FQDN"], alpha6, lab["FAR6_FQDN"], lab["FAR6_NAME"],
                       lab["ALPHA_FQDN"], alpha, silent6, block[0], block[1]))
        for engine, before, route in (
                ([], ROUTES_DISABLED_FOR_IPV6,
                 "\tRoute:  198.18.1.1  ->\n\t\t%s [%s]\n" % (lab["ALPHA_FQDN"], alpha)),
                (["-i"], "", "")):
            with self.subTest(engine=engine), self.lab.ping_sockets(allowed=True):
                result = self.memcheck([alpha6, lab["FAR6_NAME"], alpha, silent6, "-g",
                                        "%s/%s" % tuple(block), "-a", "-r", "2", "-w", "100",
                                        "-t", "20", "-p", "4"] + engine)
                self.assertClean(result)
                self.assertOutput(result, "<banner>" + (ROUTES_DISABLED if engine else "")
                                  + many_header(interval=20) + resolved + before
                                  + reply(1, alpha6) + reply(2, far6, ttl=62)
                                  + reply(3, alpha) + route + timed_out(silent6)
                                  + reply(5, block[0]) + reply(6, block[1]) + totals(6, 5))


if __name__ == "__main__":
    labsupport.main()

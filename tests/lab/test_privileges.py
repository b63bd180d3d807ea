#!/usr/bin/env python3
"""Privileges: the program installed with the file capability cap_net_raw, run by an ordinary
user, holds the capability in its effective set only while it opens a raw socket."""

import os
import shutil
import subprocess
import tempfile

import labsupport
from labsupport import (NOBODY, LabTestCase, header, many_header, process_status, reply,
                        statistics, totals)


class FileCapability(LabTestCase):
    def setUp(self):
        # A copy that an ordinary user may run, in a directory that user can reach.
        self.directory = tempfile.mkdtemp(prefix="quilvane-cap-")
        self.addCleanup(shutil.rmtree, self.directory)
        os.chmod(self.directory, 0o755)
        self.binary = os.path.join(self.directory, "quilvane")
        shutil.copy(labsupport.CONFIG["binary"], self.binary)
        os.chmod(self.binary, 0o755)
        subprocess.run(["setcap", "cap_net_raw+p", self.binary], check=True)

    def assertNoEffectiveCapability(self, pid):
        status = process_status(pid)
        self.assertEqual(status["Uid"].split(), [str(NOBODY)] * 4)
        self.assertEqual(int(status["CapEff"], 16), 0, "effective set while pinging: %s"
                         % status["CapEff"])
        # The right stays at hand (permitted) for the next raw socket, and nothing else.
        self.assertEqual(int(status["CapPrm"], 16), 1 << labsupport.CAP_NET_RAW_BIT)

    def test_an_ordinary_user_pings_over_the_raw_socket_without_an_effective_right(self):
        # The raw ICMP socket, and for an IPv6 host the raw ICMPv6 one.
        for alpha in (self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR6"]):
            with self.subTest(address=alpha):
                # Each check falls in a pause of a second, so the program is still running on a
                # busy machine.
                running = self.lab.start([alpha, "-n", "4", "-t", "1000"], user=NOBODY,
                                         binary=self.binary)
                try:
                    running.wait_for(r"Reply\[1\]")
                    self.assertEqual(os.readlink("/proc/%d/exe" % running.pid), self.binary)
                    self.assertNoEffectiveCapability(running.pid)
                    running.wait_for(r"Reply\[3\]")
                    self.assertNoEffectiveCapability(running.pid)
                    result = running.finish()
                finally:
                    running.kill()
                # No fallback: the raw socket was opened.
                self.assertOutput(result, "<banner>" + header(alpha, interval=1000)
                                  + "".join(reply(n, alpha) for n in range(1, 5))
                                  + statistics(alpha, 4, 4))

    def test_every_dispatch_of_a_run_opens_its_raw_socket_and_drops_the_right_again(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        running = self.lab.start([alpha, alpha2, "-n", "3", "-t", "1000", "-r", "2"],
                                 user=NOBODY, binary=self.binary)
        try:
            running.wait_for(r"Reply\[3\]")
            self.assertNoEffectiveCapability(running.pid)
            result = running.finish()
        finally:
            running.kill()
        passes = []
        for first in (1, 3, 5):
            passes.append(reply(first, alpha) + "\tRoute:  198.18.1.1  ->\n\t\t%s\n" % alpha
                          + reply(first + 1, alpha2)
                          + "\tRoute:  198.18.1.1  ->\n\t\t%s\n" % alpha2)
        self.assertOutput(result, "<banner>" + many_header(interval=1000) + "\n".join(passes)
                          + totals(6, 6))


if __name__ == "__main__":
    labsupport.main()

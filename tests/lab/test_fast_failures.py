#!/usr/bin/env python3
"""Attempts that end before their time-out without a reply (an ICMP error, a failed send, a local
refusal) are followed by the interval, as a good reply is: a router that answers every request
with an error, or a target that cannot be routed, get at most one request per interval from either
engine, never a flood. A plain time-out is still followed by no pause (test_single_host)."""

import re
import signal
import time

import labsupport
from labsupport import DF_MESSAGE, LabTestCase, header, statistics

INTERVAL_MS = 200


class PauseAfterFastFailures(LabTestCase):
    def cases(self):
        outside, far, alpha = self.lab["OUTSIDE_ADDR"], self.lab["FAR_ADDR"], self.lab["ALPHA_ADDR"]
        return [
            ("raw, unroutable", [outside], r"sendto\(\) - Network is unreachable\n"),
            ("echo service, unroutable", [outside, "-i"], r"Incorrect IP status: 11002\n"),
            ("raw, time exceeded", [far, "-h", "1", "-w", "200"], r"request timed out \(4\)\n"),
            ("echo service, time exceeded", [far, "-h", "1", "-i"],
             r"Incorrect IP status: 11013\n"),
            # Refused here without sending (-f and more than 1472 bytes): a local error too.
            ("raw, Don't Fragment refusal", [alpha, "-f", "-s", "2000"], re.escape(DF_MESSAGE)),
            ("echo service, Don't Fragment refusal", [alpha, "-f", "-s", "2000", "-i"],
             re.escape(DF_MESSAGE)),
        ]

    def test_at_most_one_request_per_interval(self):
        for name, args, line in self.cases():
            with self.subTest(name), self.lab.ping_sockets(allowed=True):
                running = self.lab.start(args + ["-c", "-t", str(INTERVAL_MS)])
                try:
                    running.wait_for(line)
                    time.sleep(1.5)
                    elapsed = time.monotonic() - running.started
                    running.send(signal.SIGINT)
                    result = running.finish()
                finally:
                    running.kill()
                sent = int(re.search(r"Sent = (\d+)", result.out).group(1))
                # A slow machine only lowers the count; the flood reached tens of thousands.
                self.assertLessEqual(sent, elapsed * 1000 / INTERVAL_MS + 2,
                                     "%s: %d requests in %.2f s" % (name, sent, elapsed))
                self.assertEqual(labsupport.statistics_problems(result.out), [])

    def test_a_failed_send_is_followed_by_the_interval(self):
        outside = self.lab["OUTSIDE_ADDR"]
        cases = [([], "sendto() - Network is unreachable\n"),
                 (["-i"], "Incorrect IP status: 11002\n")]
        for engine, line in cases:
            with self.subTest(engine=engine or "raw"), self.lab.ping_sockets(allowed=True):
                result = self.lab.run([outside, "-n", "2", "-t", "1500"] + engine)
                self.assertOutput(result, "<banner>" + header(outside, interval=1500) + line * 2
                                  + statistics(outside, 2, 0), code=1 if not engine else 5)
                self.assertGreaterEqual(result.elapsed, 1.4, result)


if __name__ == "__main__":
    labsupport.main()

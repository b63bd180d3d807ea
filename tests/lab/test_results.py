#!/usr/bin/env python3
"""Address prefixes and the machine outputs end to end in the lab: prefixes against the ranges
they stand for, and IPv6 ranges wherever they lie."""

import ipaddress

import labsupport
from labsupport import (USAGE_HINT, LabTestCase, all_times_masked, many_header, reply,
                        send_unreachable, timed_out, totals)

FIRST6 = ipaddress.ip_address("fd00:5152:2::")


class Prefixes(LabTestCase):
    def test_a_prefix_prints_what_its_range_prints(self):
        # alpha answers every address of 198.18.2.0/24; the -g rule leaves .0 and .255 out.
        as_range = self.lab.run(["-g", "198.18.2.1/198.18.2.254", "-w", "500"])
        self.assertOutput(as_range, "<banner>" + many_header()
                          + "".join(reply(n, "198.18.2.%d" % n) for n in range(1, 255))
                          + totals(254, 254))
        for args in (["-g", "198.18.2.0/24"], ["-g198.18.2.77/24"], ["198.18.2.0/24"],
                     ["198.18.2.0/24", "-p", "32"]):
            with self.subTest(args=args):
                result = self.lab.run(args + ["-w", "500"])
                self.assertEqual(all_times_masked(result.out), all_times_masked(as_range.out))
                self.assertEqual((result.err, result.code), ("", 0))

    def test_a_prefix_over_the_silent_link(self):
        result = self.lab.run(["198.18.3.0/30", "-w", "100"])
        # .1 is the client's own address, .2 the silent host, .3 nobody.
        self.assertOutput(result, "<banner>" + many_header() + reply(1, "198.18.3.1")
                          + timed_out("198.18.3.2") + timed_out("198.18.3.3")
                          + totals(3, 1), code=1)

    def test_an_ipv6_prefix_pings_every_address(self):
        result = self.lab.run(["-g", "fd00:5152:2::/120", "-p", "64", "-w", "500"])
        self.assertOutput(result, "<banner>" + many_header()
                          + "".join(reply(n + 1, str(FIRST6 + n)) for n in range(256))
                          + totals(256, 256))

    def test_an_invalid_prefix_is_an_error_of_its_own(self):
        for text in ("198.18.2.0/33", "fd00:5152:2::/64"):
            with self.subTest(prefix=text):
                result = self.lab.run([text])
                self.assertOutput(result, "Invalid prefix: %s\n<banner>\nNo host specified\n"
                                  % text, code=2, stderr=USAGE_HINT)


class Ipv6Ranges(LabTestCase):
    def test_a_range_across_a_64_bit_boundary(self):
        # Four addresses: two of alpha's block, then two beyond its /64 that no route reaches.
        first = ipaddress.ip_address("fd00:5152:2:0:ffff:ffff:ffff:fffe")
        result = self.lab.run(["-g", "%s/%s" % (first, first + 3), "-w", "100"])
        self.assertOutput(result, "<banner>" + many_header() + reply(1, str(first))
                          + reply(2, str(first + 1)) + send_unreachable() * 2 + totals(4, 2),
                          code=1)

    def test_a_mapped_range_follows_the_ipv4_rule(self):
        result = self.lab.run(["-g", "::ffff:198.18.2.254/::ffff:198.18.3.1", "-w", "100"])
        self.assertOutput(result, "<banner>" + many_header() + reply(1, "198.18.2.254")
                          + reply(2, "198.18.3.1") + totals(2, 2))


if __name__ == "__main__":
    labsupport.main()

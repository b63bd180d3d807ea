#!/usr/bin/env python3
"""Faults injected in the lab: late, duplicated, foreign, stale, truncated, corrupted and garbage
replies, odd IP options, other ICMP messages, rejecting and lossy routers, and a second pinger
beside the program. Each output follows the engines' rules exactly and its statistics stay
consistent."""

import re

import labsupport
from labsupport import (LabTestCase, header, receive_failed, reply, statistics, timed_out)

REJECT_TABLE = "quilvane_lab"


def responder_address(number):
    return "198.18.8.%d" % number


class LateReplies(LabTestCase):
    def test_a_reply_after_its_time_out_is_skipped_while_the_next_is_answered(self):
        # Request 1 times out at 200 ms, request 2 is answered at once, the late reply arrives
        # during the pause and is passed over by request 3.
        address = responder_address(101)
        with self.lab.responder(address, "--delay", "400", "--only", "1"):
            result = self.lab.run([address, "-n", "3", "-w", "200", "-t", "300"])
        self.assertOutput(result, "<banner>" + header(address, interval=300)
                          + timed_out(address) + reply(2, address) + reply(3, address)
                          + statistics(address, 3, 2))

    def test_replies_always_late_are_never_taken_for_later_requests(self):
        # Whether a late reply meets a wait or a receive step is a matter of microseconds, so the
        # lines may vary; what may not is a reply faster than the delay, or broken figures.
        address = responder_address(102)
        with self.lab.responder(address, "--delay", "150"):
            result = self.lab.run([address, "-n", "6", "-w", "100", "-t", "20"])
        lines = result.out.split(header(address, interval=20))[1].split("\nPing statistics")[0]
        allowed = re.compile(r"(Reply\[\d\] from %s: bytes=32 time=(\d+\.\d) ms TTL=64"
                             r"|%s: request timed out( \([4-7]\))?"
                             r"|recvfrom\(\) - %s)$" % (re.escape(address), re.escape(address),
                                                        labsupport.RECEIVE_TIMED_OUT))
        outcomes = 0
        replies = 0
        for line in lines.splitlines():
            match = allowed.match(line)
            self.assertIsNotNone(match, "unexpected line %r\n%r" % (line, result))
            if match.group(2):
                replies += 1
                # A late reply taken for the next request would show about 150 - 100 ms; the
                # bound lies half-way, as a busy machine may read the clock a little after the
                # request left.
                self.assertGreaterEqual(float(match.group(2)), 100.0, result)
            if not line.startswith("recvfrom"):
                outcomes += 1
        self.assertEqual(outcomes, 6, result)
        self.assertIn(statistics(address, 6, replies).replace("X ms", "").split("\nApprox")[0],
                      result.out)
        self.assertEqual(labsupport.statistics_problems(result.out), [])
        last = lines.splitlines()[-1]
        self.assertEqual(result.code, 0 if last.startswith("Reply") else 1, result)

    def test_a_drop_then_a_reply_ends_with_0_and_the_reverse_with_1(self):
        address = responder_address(103)
        with self.lab.responder(address, "--drop", "--only", "1"):
            result = self.lab.run([address, "-n", "2", "-w", "100", "-t", "20"])
        self.assertOutput(result, "<banner>" + header(address, interval=20) + timed_out(address)
                          + reply(2, address) + statistics(address, 2, 1))
        address = responder_address(104)
        with self.lab.responder(address, "--drop", "--only", "2"):
            result = self.lab.run([address, "-n", "2", "-w", "100", "-t", "20"])
        self.assertOutput(result, "<banner>" + header(address, interval=20) + reply(1, address)
                          + timed_out(address) + statistics(address, 2, 1), code=1)


class Duplicates(LabTestCase):
    def test_duplicated_replies_are_passed_over(self):
        address = responder_address(105)
        with self.lab.responder(address, "--duplicate", "2"):
            result = self.lab.run([address, "-n", "4", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(address, interval=50)
                          + "".join(reply(n, address) for n in range(1, 5))
                          + statistics(address, 4, 4))

    def test_the_echo_service_passes_duplicates_over(self):
        address = responder_address(106)
        with self.lab.ping_sockets(allowed=True), \
                self.lab.responder(address, "--duplicate", "3"):
            result = self.lab.run([address, "-i", "-n", "3", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(address, interval=50)
                          + "".join(reply(n, address) for n in range(1, 4))
                          + statistics(address, 3, 3))


class ForeignAndStale(LabTestCase):
    def check_limit(self, number, kind, count, expected_middle):
        address = responder_address(number)
        with self.lab.responder(address, "--" + kind, str(count), "--only", "2"):
            result = self.lab.run([address, "-n", "3", "-w", "500", "-t", "50"])
        received = 3 - expected_middle.count("timed out")
        self.assertOutput(result, "<banner>" + header(address, interval=50) + reply(1, address)
                          + expected_middle + reply(3, address)
                          + statistics(address, 3, received))

    def test_foreign_replies_never_reach_the_program(self):
        # The socket's filter drops other identifiers, so the limit of 20 no longer applies.
        self.check_limit(111, "foreign", 21, reply(2, responder_address(111)))

    def test_twenty_stale_replies_are_passed_over(self):
        self.check_limit(112, "stale", 20, reply(2, responder_address(112)))

    def test_twenty_one_stale_replies_end_the_wait(self):
        self.check_limit(113, "stale", 21, timed_out(responder_address(113), 7))

    def test_a_thousand_foreign_replies_ahead_of_each_reply_hide_none(self):
        # Another pinger on the same machine: its replies never reach the verdict.
        address = responder_address(114)
        with self.lab.responder(address, "--foreign", "1000"):
            result = self.lab.run([address, "-n", "10", "-t", "20"])
        self.assertOutput(result, "<banner>" + header(address, interval=20)
                          + "".join(reply(n, address) for n in range(1, 11))
                          + statistics(address, 10, 10))

    def test_the_echo_service_never_sees_foreign_replies_and_passes_stale_ones(self):
        address = responder_address(115)
        with self.lab.ping_sockets(allowed=True), \
                self.lab.responder(address, "--foreign", "50", "--stale", "50"):
            result = self.lab.run([address, "-i", "-n", "3", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(address, interval=50)
                          + "".join(reply(n, address) for n in range(1, 4))
                          + statistics(address, 3, 3))


class DamagedReplies(LabTestCase):
    def test_a_reply_shorter_than_an_icmp_header_never_reaches_the_program(self):
        # The kernel hands raw ICMP sockets nothing shorter than an ICMP header.
        address = responder_address(120)
        with self.lab.responder(address, "--truncate", "4", "--only", "2"):
            result = self.lab.run([address, "-n", "3", "-w", "200", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(address, interval=50) + reply(1, address)
                          + timed_out(address) + reply(3, address) + statistics(address, 3, 2))

    def test_a_reply_cut_short_before_its_time_stamp_is_too_short(self):
        # Without the request's time stamp a reply cannot show which request it answers: it is
        # too short (4), as the echo service reports a reply cut short as too few bytes.
        address = responder_address(121)
        with self.lab.responder(address, "--truncate", "8"):
            result = self.lab.run([address, "-n", "2", "-w", "100", "-t", "50"])
        short = receive_failed() * 2 + timed_out(address, 4)
        self.assertOutput(result, "<banner>" + header(address, interval=50) + short + short
                          + statistics(address, 2, 0), code=1)

    def test_a_reply_cut_short_in_its_fill_still_counts(self):
        # The fill of a reply is not examined: the line shows the size that was sent.
        address = responder_address(126)
        with self.lab.responder(address, "--truncate", "20"):
            result = self.lab.run([address, "-n", "2", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(address, interval=50) + reply(1, address)
                          + reply(2, address) + statistics(address, 2, 2))

    def test_garbage_never_reaches_the_program(self):
        # Neither an echo reply nor an error quoting the request: the socket's filter drops it,
        # short or long enough to be read as options.
        for number, size in ((122, "40"), (123, "400")):
            address = responder_address(number)
            with self.subTest(size=size), \
                    self.lab.responder(address, "--garbage", size, "--only", "2"):
                result = self.lab.run([address, "-n", "3", "-w", "200", "-t", "50"])
                self.assertOutput(result, "<banner>" + header(address, interval=50)
                                  + reply(1, address) + timed_out(address) + reply(3, address)
                                  + statistics(address, 3, 2))

    def test_a_corrupted_checksum_gives_a_time_out_not_a_reply(self):
        # The damaged reply is no echo reply; two more receives run out of time. The echo
        # service's kernel drops it.
        address = responder_address(125)
        with self.lab.responder(address, "--bad-checksum", "--only", "2,5"):
            result = self.lab.run([address, "-n", "3", "-w", "200", "-t", "50"])
            self.assertOutput(result, "<banner>" + header(address, interval=50)
                              + reply(1, address) + receive_failed() * 2 + timed_out(address, 4)
                              + reply(3, address) + statistics(address, 3, 2))
            with self.lab.ping_sockets(allowed=True):
                result = self.lab.run([address, "-i", "-n", "3", "-w", "200", "-t", "50"])
            self.assertOutput(result, "<banner>" + header(address, interval=50)
                              + reply(1, address) + timed_out(address) + reply(3, address)
                              + statistics(address, 3, 2))

    def test_the_echo_service_drops_garbage(self):
        address = responder_address(124)
        with self.lab.ping_sockets(allowed=True), \
                self.lab.responder(address, "--garbage", "40", "--only", "1"):
            result = self.lab.run([address, "-i", "-n", "2", "-w", "200", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(address, interval=50) + timed_out(address)
                          + reply(2, address) + statistics(address, 2, 1))


class OtherMessages(LabTestCase):
    def test_two_other_messages_are_passed_over(self):
        address = responder_address(130)
        with self.lab.responder(address, "--other", "2"):
            result = self.lab.run([address, "-n", "2", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(address, interval=50) + reply(1, address)
                          + reply(2, address) + statistics(address, 2, 2))

    def test_three_other_messages_end_the_wait(self):
        address = responder_address(131)
        with self.lab.responder(address, "--other", "3", "--only", "1"):
            result = self.lab.run([address, "-n", "2", "-w", "500", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(address, interval=50) + timed_out(address, 5)
                          + reply(2, address) + statistics(address, 2, 1))

    def test_echo_requests_never_reach_the_program(self):
        # Someone pinging this host, or the program's own requests on the loopback: the
        # socket's filter drops them, so they cannot use up the limit of the reply that follows.
        address = responder_address(132)
        with self.lab.responder(address, "--other", "3", "--other-type", "8", "--other-code",
                                "0", "--only", "1"):
            result = self.lab.run([address, "-n", "2", "-w", "500", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(address, interval=50) + reply(1, address)
                          + reply(2, address) + statistics(address, 2, 2))


class IpOptionsInReplies(LabTestCase):
    # Record route with two slots holding 198.18.7.2 and .3, at various pointers, and options of
    # bad lengths. The client's kernel drops a reply with a malformed option; from pointer 4 on it
    # is delivered and its route printed, even without -r. Below 12 the slot at the pointer is
    # free, and the client's kernel records itself there on receipt; a slot past the pointer was
    # never recorded and is not shown.
    ROUTE = "070b%02xc6120702c6120703"
    # A full option of nine hops whose addresses hold bytes of 7, behind a no-operation byte.
    NINE_HOPS = "01072728" + "".join("c61207%02x" % hop for hop in range(1, 10))
    CASES = [
        ("pointer 0", ROUTE % 0, None),
        ("pointer 3", ROUTE % 3, None),
        ("pointer 4", ROUTE % 4, ("198.18.7.1",)),
        ("pointer 40", ROUTE % 40, ("198.18.7.2", "198.18.7.3")),
        ("pointer 255", ROUTE % 255, ("198.18.7.2", "198.18.7.3")),
        ("length 0", "0700", None),
        ("length 2", "0702", None),
        ("length past the header", "072804", None),
        ("timestamp of length 0", "4400", None),
        ("no-operation options only", "01010101", ()),
    ]

    def test_what_each_option_leaves_of_the_reply(self):
        address = responder_address(140)
        with self.lab.ping_sockets(allowed=True):
            for name, options, route in self.CASES:
                for engine in ([], ["-i"]):
                    with self.subTest(options=name, engine=engine or "raw"), \
                            self.lab.responder(address, "--ip-options", options):
                        result = self.lab.run([address, "-n", "1", "-w", "200"] + engine)
                        self.assertOutput(result, "<banner>" + header(address)
                                          + self.expected(address, route),
                                          code=1 if route is None else 0)

    def test_bytes_of_7_inside_recorded_addresses_start_no_route(self):
        address = responder_address(141)
        with self.lab.responder(address, "--ip-options", self.NINE_HOPS):
            for routes in ("1", "9"):
                with self.subTest(routes=routes):
                    result = self.lab.run([address, "-n", "1", "-w", "200", "-r", routes])
                    hops = ("198.18.7.%d" % hop for hop in range(1, int(routes) + 1))
                    self.assertOutput(result, "<banner>" + header(address)
                                      + self.expected(address, tuple(hops)))

    @staticmethod
    def expected(address, route):
        if route is None:
            return timed_out(address) + statistics(address, 1, 0)
        hops = "\tRoute:  " + "  ->\n\t\t".join(route) + "\n" if route else ""
        return reply(1, address) + hops + statistics(address, 1, 1)


class Routers(LabTestCase):
    def reject(self, icmp_type):
        ruleset = ("table ip %s {\n chain forward {\n  type filter hook forward priority 0;\n"
                   "  ip daddr %s icmp type echo-request reject with icmp type %s\n }\n}\n"
                   % (REJECT_TABLE, self.lab["FAR_ADDR"], icmp_type))
        return self.lab.nft(self.lab["ROUTER2_NS"], ruleset, REJECT_TABLE)

    def test_a_rejecting_router_ends_each_wait_in_a_coded_time_out(self):
        far = self.lab["FAR_ADDR"]
        for icmp_type in ("host-unreachable", "admin-prohibited"):
            with self.subTest(type=icmp_type), self.reject(icmp_type):
                result = self.lab.run([far, "-n", "2", "-w", "200", "-t", "50"])
                per_request = receive_failed() * 2 + timed_out(far, 4)
                self.assertOutput(result, "<banner>" + header(far, interval=50)
                                  + per_request * 2 + statistics(far, 2, 0), code=1)

    def test_a_rejecting_router_gives_the_echo_service_a_status(self):
        far = self.lab["FAR_ADDR"]
        with self.lab.ping_sockets(allowed=True):
            for icmp_type, status in (("host-unreachable", 11003), ("admin-prohibited", 11050)):
                with self.subTest(type=icmp_type), self.reject(icmp_type):
                    result = self.lab.run([far, "-i", "-n", "2", "-t", "50"])
                    self.assertOutput(result, "<banner>" + header(far, interval=50)
                                      + "Incorrect IP status: %d\n" % status * 2
                                      + statistics(far, 2, 0), code=5)

    def test_a_lossy_router_keeps_the_statistics_consistent(self):
        far = self.lab["FAR_ADDR"]
        ruleset = ("table ip %s {\n chain forward {\n  type filter hook forward priority 0;\n"
                   "  ip daddr %s icmp type echo-request numgen random mod 100 < 50 drop\n }\n}\n"
                   % (REJECT_TABLE, far))
        with self.lab.nft(self.lab["ROUTER1_NS"], ruleset, REJECT_TABLE):
            result = self.lab.run([far, "-n", "20", "-w", "100", "-t", "10"])
        lines = result.out.split(header(far, interval=10))[1].split("\nPing statistics")[0]
        replies = 0
        for line in lines.splitlines():
            self.assertRegex(line, r"^(Reply\[\d+\] from %s: bytes=32 time=\d+\.\d ms TTL=62"
                                   r"|%s: request timed out)$" % (re.escape(far), re.escape(far)))
            replies += line.startswith("Reply")
        self.assertEqual(len(lines.splitlines()), 20, result)
        self.assertIn("Packets: Sent = 20, Received = %d, Lost = %d" % (replies, 20 - replies),
                      result.out)
        self.assertEqual(labsupport.statistics_problems(result.out), [])


class SecondPinger(LabTestCase):
    def test_two_programs_pinging_one_host_keep_to_their_own_replies(self):
        alpha = self.lab["ALPHA_ADDR"]
        for second_engine in ([], ["-i"]):
            with self.subTest(second=second_engine or "raw"), \
                    self.lab.ping_sockets(allowed=True):
                other = self.lab.start([alpha, "-n", "40", "-t", "5"] + second_engine)
                try:
                    result = self.lab.run([alpha, "-n", "20", "-t", "10"])
                    other_result = other.finish()
                finally:
                    other.kill()
                self.assertOutput(result, "<banner>" + header(alpha, interval=10)
                                  + "".join(reply(n, alpha) for n in range(1, 21))
                                  + statistics(alpha, 20, 20))
                self.assertOutput(other_result, "<banner>" + header(alpha, interval=5)
                                  + "".join(reply(n, alpha) for n in range(1, 41))
                                  + statistics(alpha, 40, 40))


if __name__ == "__main__":
    labsupport.main()

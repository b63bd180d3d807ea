#!/usr/bin/env python3
"""IPv6 end to end in the lab, through the raw engine and the echo service (chosen with -i, and
taken by a user without the raw-socket right): the lines of every IPv4 case with IPv6 addresses,
the hop limit, the traffic class, the IPv6 size limit of Don't Fragment, route options left out,
names of either family and -4/-6, mixed host files, IPv6 ranges, and what goes on the wire."""

import collections
import os
import shutil
import struct
import tempfile

import labsupport
from labsupport import (DF_MESSAGE, NOBODY, RAW_REFUSED, ROUTES_DISABLED,
                        ROUTES_DISABLED_FOR_IPV6, SWITCHING, USAGE_HINT, LabTestCase, header,
                        host_not_found, many_header, receive_failed, reply, send_unreachable,
                        statistics, timed_out, totals)

# How a run reaches an engine: its extra arguments, its user, and what it prints before the
# host's lines (a single-host run) or before each host's lines (a many-host run).
Engine = collections.namedtuple("Engine", "name args user before")
RAW = Engine("raw", [], None, "")
SERVICE = Engine("echo service", ["-i"], None, "")
USER = Engine("echo service for a user", [], NOBODY, RAW_REFUSED + SWITCHING)
ENGINES = (RAW, SERVICE, USER)
CHOSEN = (RAW, SERVICE)

REJECT_TABLE = "quilvane_lab6"
TIME_EXCEEDED = "Incorrect IP status: 11013\n"
NO_ROUTE = "Incorrect IP status: 11002\n"


def by_engine(raw, service):
    """An expectation that differs between the raw engine and the echo service."""
    return lambda engine: raw if engine is RAW else service


class Ipv6TestCase(LabTestCase):
    def run(self, result=None):
        # The echo service needs ping sockets in the client, whatever an earlier test left.
        with self.lab.ping_sockets(allowed=True):
            return super().run(result)

    def addresses(self):
        lab = self.lab
        return (lab["ALPHA_ADDR6"], lab["FAR_ADDR6"], lab["SILENT_ADDR6"], lab["OUTSIDE_ADDR6"])

    def assertCases(self, cases):
        """Each case, (name, arguments, engines, expected, code), run through each of its
        engines; expected and code are values or functions of the engine, and expected is the
        text after the banner and the engine's own lines."""
        for name, args, engines, expected, code in cases:
            for engine in engines:
                with self.subTest(name, engine=engine.name):
                    result = self.lab.run(args + engine.args, user=engine.user)
                    text = expected(engine) if callable(expected) else expected
                    self.assertOutput(result, "<banner>" + engine.before + text,
                                      code=code(engine) if callable(code) else code)


class SingleHost(Ipv6TestCase):
    def test_the_lines_of_ipv4_with_ipv6_addresses(self):
        alpha, far, silent, outside = self.addresses()

        def answered(host, count, size=32, interval=1000, ttl=64, tos=None):
            return (header(host, size, interval)
                    + "".join(reply(n, host, size, ttl, tos) for n in range(1, count + 1))
                    + statistics(host, count, count))

        def far_once(lines):
            return header(far) + lines + statistics(far, 1, 0)

        cases = [
            # The reply's hop limit shows as TTL: 64 from the neighbour, 62 two routers away.
            ("four replies", [alpha, "-n", "4", "-t", "50"], ENGINES, answered(alpha, 4, 32, 50),
             0),
            ("two routers away", [far, "-n", "2", "-t", "50"], ENGINES,
             answered(far, 2, 32, 50, ttl=62), 0),
            ("fragments without -f", [alpha, "-n", "1", "-s", "65500"], ENGINES,
             answered(alpha, 1, 65500), 0),
            ("silent host", [silent, "-n", "2", "-w", "200", "-t", "3000"], ENGINES,
             header(silent, interval=3000) + timed_out(silent) * 2 + statistics(silent, 2, 0), 1),
            # Linux sends the request's traffic class back in the reply.
            ("traffic class", [alpha, "-n", "2", "-v", "32", "-t", "50"], ENGINES,
             answered(alpha, 2, 32, 50, tos=32), 0),
            ("traffic class 0 given", [alpha, "-n", "1", "-v", "0"], ENGINES,
             answered(alpha, 1, tos=0), 0),
            # The first router answers with ICMPv6 time exceeded: the raw engine's coded
            # time-out, the echo service's status, as for IPv4's TTL.
            ("hop limit 1", [far, "-n", "1", "-h", "1", "-w", "200"], ENGINES,
             by_engine(far_once(receive_failed() * 2 + timed_out(far, 4)),
                       far_once(TIME_EXCEEDED)), by_engine(1, 5)),
            ("hop limit 3 is enough", [far, "-n", "1", "-h", "3"], ENGINES,
             answered(far, 1, ttl=62), 0),
            # 1500 - 40 - 8: the largest echo data that fits the link unfragmented.
            ("don't fragment, 1452 bytes", [alpha, "-n", "2", "-f", "-s", "1452", "-t", "50"],
             ENGINES, answered(alpha, 2, 1452, 50), 0),
            ("don't fragment, 1453 bytes", [alpha, "-n", "3", "-f", "-s", "1453", "-t", "50"],
             ENGINES, header(alpha, 1453, 50) + DF_MESSAGE * 3 + statistics(alpha, 3, 0), 3),
            # No IPv6 default route: the send fails at once.
            ("outside the lab", [outside, "-n", "2", "-t", "50"], ENGINES,
             by_engine(header(outside, interval=50) + send_unreachable() * 2
                       + statistics(outside, 2, 0),
                       header(outside, interval=50) + NO_ROUTE * 2 + statistics(outside, 2, 0)),
             by_engine(1, 5)),
        ]
        self.assertCases(cases)

    def test_a_link_local_address_with_its_zone(self):
        # The zone, given by the interface's name or number, shows as the number; the echo
        # service's statistics name the host as it was given. Alpha's link-local address is
        # the one the kernel gave its end of the link.
        lab = self.lab
        addresses = lab.in_namespace(lab["ALPHA_NS"], ["ip", "-6", "-o", "addr", "show", "dev",
                                                       lab["ALPHA_TO_CLIENT_IF"], "scope",
                                                       "link"]).stdout.split()
        link_local = addresses[addresses.index("inet6") + 1].split("/")[0]
        interface = lab["CLIENT_TO_ALPHA_IF"]
        index = lab.in_namespace(lab.client, ["cat", "/sys/class/net/%s/ifindex"
                                              % interface]).stdout.strip()
        shown = "%s%%%s" % (link_local, index)
        self.assertCases([
            (given, [given, "-n", "2", "-t", "50"], ENGINES,
             lambda engine, given=given: (header(shown, interval=50) + reply(1, shown)
                                          + reply(2, shown)
                                          + statistics(shown if engine is RAW else given, 2, 2)),
             0)
            for given in (shown, "%s%%%s" % (link_local, interface))])

    def test_a_rejecting_router(self):
        # The second router answers every request to the far host with an ICMPv6 error: the raw
        # engine's coded time-out as for IPv4, the echo service's status of each error.
        far = self.lab["FAR_ADDR6"]
        per_request = receive_failed() * 2 + timed_out(far, 4)
        for icmp_type, status in (("no-route", 11002), ("addr-unreachable", 11003),
                                  ("admin-prohibited", 11004), ("port-unreachable", 11005)):
            ruleset = ("table ip6 %s {\n chain forward {\n"
                       "  type filter hook forward priority 0;\n"
                       "  ip6 daddr %s icmpv6 type echo-request reject with icmpv6 type %s\n"
                       " }\n}\n" % (REJECT_TABLE, far, icmp_type))
            with self.lab.nft(self.lab["ROUTER2_NS"], ruleset, REJECT_TABLE, family="ip6"):
                self.assertCases([(
                    icmp_type, [far, "-n", "2", "-w", "200", "-t", "50"], CHOSEN,
                    by_engine(header(far, interval=50) + per_request * 2
                              + statistics(far, 2, 0),
                              header(far, interval=50) + "Incorrect IP status: %d\n" % status * 2
                              + statistics(far, 2, 0)),
                    by_engine(1, 5))])

    def test_route_options_are_left_out_for_ipv6_hosts(self):
        # The raw engine says so once, before the first IPv6 host; the echo service has no route
        # options at all and says that instead, right after the banner.
        far4, far = self.lab["FAR_ADDR"], self.lab["FAR_ADDR6"]
        alpha = self.lab["ALPHA_ADDR6"]
        route = "\tRoute:  %s  ->\n\t\t%s  ->\n\t\t%s\n" % (
            self.lab["CLIENT_ROUTER_ADDR"], self.lab["ROUTER1_OUT_ADDR"],
            self.lab["ROUTER2_OUT_ADDR"])
        single = (header(far, interval=50) + reply(1, far, ttl=62) + reply(2, far, ttl=62)
                  + statistics(far, 2, 2))

        def mixed(engine):
            routed = route if engine is RAW else ""
            return (("" if engine is RAW else ROUTES_DISABLED) + many_header(interval=50)
                    + reply(1, far4, ttl=62) + routed
                    + (ROUTES_DISABLED_FOR_IPV6 if engine is RAW else "")
                    + reply(2, alpha) + reply(3, far, ttl=62) + "\n"
                    + reply(4, far4, ttl=62) + routed + reply(5, alpha) + reply(6, far, ttl=62)
                    + totals(6, 6))

        self.assertCases([
            ("one IPv6 host", [far, "-n", "2", "-r", "3", "-t", "50"], CHOSEN,
             by_engine(ROUTES_DISABLED_FOR_IPV6 + single, ROUTES_DISABLED + single), 0),
            ("IPv4 and IPv6 hosts over two passes",
             [far4, alpha, far, "-n", "2", "-r", "3", "-t", "50"], CHOSEN, mixed, 0),
        ])


class Names(Ipv6TestCase):
    def test_the_family_of_a_name(self):
        lab = self.lab

        def named(name, address):
            # The echo service's statistics name the host as it was given.
            return lambda engine: (header(address, name=lab[name]) + reply(1, address)
                                   + statistics(address if engine is RAW else lab[name], 1, 1))

        dual, dual2 = lab["DUAL_FQDN"], lab["DUAL2_FQDN"]
        cases = [
            ("-6 picks the IPv6 address", [dual, "-6"], "DUAL_FQDN", "DUAL_ADDR6"),
            ("-4 picks the IPv4 address", [dual, "-4"], "DUAL_FQDN", "DUAL_ADDR"),
            ("IPv4 first without an option", [dual], "DUAL_FQDN", "DUAL_ADDR"),
            # The hosts file lists this one's IPv6 address first; IPv4 is still preferred.
            ("IPv4 first whatever the order", [dual2], "DUAL2_FQDN", "DUAL2_ADDR"),
            ("-6 with the IPv6 address listed first", [dual2, "-6"], "DUAL2_FQDN", "DUAL2_ADDR6"),
            ("a name with an IPv6 address alone", [lab["ALPHA6_FQDN"]], "ALPHA6_FQDN",
             "ALPHA_ADDR6"),
        ]
        self.assertCases([(case, args + ["-n", "1"], ENGINES, named(name, lab[address]), 0)
                          for case, args, name, address in cases])

    def test_a_name_or_address_outside_the_chosen_family_is_not_found(self):
        # No such name (11001) for a name without an address of the family; an address of the
        # other family is the resolver's address-family error (11004) either way.
        lab = self.lab
        cases = [([lab["ALPHA6_FQDN"], "-4"], 11001), ([lab["ALPHA_FQDN"], "-6"], 11001),
                 ([lab["ALPHA_ADDR"], "-6"], 11004), ([lab["ALPHA_ADDR6"], "-4"], 11004)]
        self.assertCases([
            (" ".join(args), args + ["-n", "2"], CHOSEN,
             by_engine(host_not_found(args[0], error),
                       "Could not resolve the host name %s\n" % args[0]), 2)
            for args, error in cases])

    def test_reverse_names_of_ipv6_addresses(self):
        alpha, block = self.lab["ALPHA_ADDR6"], "fd00:5152:2::1"
        self.assertCases([
            ("a named address", [alpha, "-n", "1", "-a"], ENGINES,
             header(alpha, name=self.lab["ALPHA6_FQDN"]) + reply(1, alpha)
             + statistics(alpha, 1, 1), 0),
            ("an address without a name", [block, "-n", "1", "-a"], ENGINES,
             header(block) + reply(1, block) + statistics(block, 1, 1), 0),
        ])


class ManyHosts(Ipv6TestCase):
    def host_file(self, hosts):
        """One host a line, the last two on one line with a comma: an IPv6 address's colons
        separate nothing."""
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        os.chmod(directory, 0o755)  # readable by the unprivileged user too
        path = os.path.join(directory, "hosts.txt")
        with open(path, "w", encoding="ascii", newline="") as text:
            text.write("\r\n".join(hosts[:-2] + [", ".join(hosts[-2:])]) + "\r\n")
        return path

    def mixed_hosts(self):
        """(host text, address it pings, the reply's TTL or None for a time-out, its line in the
        resolved list) for a file of IPv4 and IPv6 literals and names."""
        lab = self.lab
        alpha6, far6, silent6 = lab["ALPHA_ADDR6"], lab["FAR_ADDR6"], lab["SILENT_ADDR6"]
        return [
            (lab["ALPHA_NAME"], lab["ALPHA_ADDR"], 64, "%s [%s]" % (lab["ALPHA_FQDN"],
                                                                    lab["ALPHA_NAME"])),
            (alpha6, alpha6, 64, "%s [%s]" % (lab["ALPHA6_FQDN"], alpha6)),
            (lab["ALPHA6_FQDN"], alpha6, 64, "%s [%s]" % (lab["ALPHA6_FQDN"],
                                                          lab["ALPHA6_FQDN"])),
            (lab["FAR6_NAME"], far6, 62, "%s [%s]" % (lab["FAR6_FQDN"], lab["FAR6_NAME"])),
            ("fd00:5152:2::1", "fd00:5152:2::1", 64, "fd00:5152:2::1"),
            (silent6, silent6, None, silent6),
            (lab["ALPHA_ADDR2"], lab["ALPHA_ADDR2"], 64, "%s [%s]" % (lab["ALPHA2_FQDN"],
                                                                      lab["ALPHA_ADDR2"])),
            (lab["DUAL2_FQDN"], lab["DUAL2_ADDR"], 64, "%s [%s]" % (lab["DUAL2_FQDN"],
                                                                    lab["DUAL2_FQDN"])),
        ]

    def test_a_mixed_host_file_with_the_resolved_list(self):
        hosts = self.mixed_hosts()
        path = self.host_file([text for text, _, _, _ in hosts])
        resolved = "Resolved hostname list:\n" + "".join(line + "\n" for *_, line in hosts) + "\n"

        def expected(engine):
            lines = ""
            for number, (_, address, ttl, _) in enumerate(hosts, start=1):
                lines += engine.before + (reply(number, address, ttl=ttl) if ttl
                                          else timed_out(address))
            return resolved + lines + totals(len(hosts), len(hosts) - 1)

        # In a many-host run the engine's own lines come with each host, not after the banner.
        for engine in ENGINES:
            with self.subTest(engine=engine.name):
                result = self.lab.run(["-H", path, "-a", "-w", "200", "-t", "50"] + engine.args,
                                      user=engine.user)
                self.assertOutput(result, "<banner>" + many_header(interval=50)
                                  + expected(engine))

    def test_many_in_flight_print_what_one_at_a_time_prints(self):
        hosts = [text for text, _, _, _ in self.mixed_hosts()]
        hosts += [self.lab["UNKNOWN_NAME"], self.lab["OUTSIDE_ADDR6"]]
        path = self.host_file(hosts)
        far, alpha = self.lab["FAR_ADDR6"], self.lab["ALPHA_ADDR6"]
        for engine in CHOSEN:
            with self.subTest(engine=engine.name):
                self.assertSameRun(["-H", path, "-a", "-r", "3", "-n", "2", "-w", "200", "-t",
                                    "50"] + engine.args, windows=(8,))
                self.assertSameRun([far, alpha, far, "-h", "1", "-w", "200"] + engine.args,
                                   windows=(3,))


class Ranges(Ipv6TestCase):
    def test_every_address_of_an_ipv6_range_in_order(self):
        # Unlike IPv4's, an IPv6 range leaves no address out: ::ff and ::100 are pinged too.
        cases = [
            (["-g", "fd00:5152:2::1/fd00:5152:2::8"], range(1, 9)),
            (["-gfd00:5152:2::fe/fd00:5152:2::101"], range(0xFE, 0x102)),
        ]
        for args, numbers in cases:
            with self.subTest(args=args):
                addresses = ["fd00:5152:2::%x" % n for n in numbers]
                result = self.lab.run(args + ["-t", "50"])
                self.assertOutput(result, "<banner>" + many_header(interval=50)
                                  + "".join(reply(n, address)
                                            for n, address in enumerate(addresses, start=1))
                                  + totals(len(addresses), len(addresses)))

    def test_ranges_that_cannot_be_walked_are_ignored_silently(self):
        # As an IPv4 range whose end lies before its start: no hosts, and no message.
        for text in ("198.18.2.9/198.18.2.1", "fd00:5152:2::9/fd00:5152:2::1",
                     "fd00:5152:2::1/fd00:5152:2::1:1",  # 65,537 addresses
                     "198.18.2.1/fd00:5152:2::8"):
            with self.subTest(range=text):
                result = self.lab.run(["-g", text])
                self.assertOutput(result, "<banner>No host specified\n", code=2,
                                  stderr=USAGE_HINT)


class Wire(Ipv6TestCase):
    def capture_run(self, args, user=None):
        with self.lab.capture(self.lab["CLIENT_TO_ALPHA_IF"], expression="ip6") as capture:
            running = self.lab.start(args, user=user)
            try:
                result = running.finish()
            finally:
                running.kill()
        return running.pid, result, capture

    def assertEchoes(self, capture, result, count):
        """count requests from the client to alpha and their replies, every checksum valid over
        the IPv6 pseudo-header, each reply with its request's identifier and sequence."""
        client, alpha = self.lab["CLIENT_ALPHA_ADDR6"], self.lab["ALPHA_ADDR6"]
        requests, replies = capture.requests(), capture.replies()
        self.assertEqual(len(requests), count, result)
        self.assertEqual(len(replies), count, result)
        for request, answer in zip(requests, replies):
            self.assertEqual((request.source, request.destination, request.code),
                             (client, alpha, 0))
            self.assertEqual((answer.source, answer.destination), (alpha, client))
            self.assertTrue(request.checksum_valid())
            self.assertTrue(answer.checksum_valid())
            self.assertEqual((answer.identifier, answer.sequence),
                             (request.identifier, request.sequence))
        return requests

    def test_raw_requests_carry_what_the_options_ask_for(self):
        alpha = self.lab["ALPHA_ADDR6"]
        pid, result, capture = self.capture_run(
            [alpha, "-n", "3", "-t", "60", "-s", "40", "-d", "abc", "-h", "5", "-v", "16"])
        self.assertEqual(result.code, 0, result)
        requests = self.assertEchoes(capture, result, 3)
        for request in requests:
            self.assertEqual((request.hop_limit, request.traffic_class), (5, 16))
            self.assertEqual(request.extension_headers, [])
            self.assertEqual(len(request.icmp), 48)
            self.assertEqual(request.identifier, pid & 0xFFFF)
            # A 4-byte time stamp, then the pattern over the remaining 36 bytes.
            self.assertEqual(request.data[4:], b"abc" * 12)
        self.assertEqual([r.sequence for r in requests], [1, 2, 3])
        stamps = [struct.unpack("<I", r.data[:4])[0] for r in requests]
        for earlier, later in zip(stamps, stamps[1:]):
            self.assertGreaterEqual((later - earlier) & 0xFFFFFFFF, 60)

    def test_the_echo_service_sends_the_data_hop_limit_and_traffic_class(self):
        alpha = self.lab["ALPHA_ADDR6"]
        for engine in (SERVICE, USER):
            with self.subTest(engine=engine.name):
                _, result, capture = self.capture_run(
                    [alpha, "-n", "2", "-t", "30", "-s", "20", "-d", "abc", "-h", "7", "-v",
                     "32"] + engine.args, user=engine.user)
                self.assertEqual(result.code, 0, result)
                requests = self.assertEchoes(capture, result, 2)
                for request in requests:
                    self.assertEqual((request.hop_limit, request.traffic_class), (7, 32))
                    # The data is the pattern alone: no time stamp of the program's own.
                    self.assertEqual(request.data, (b"abc" * 7)[:20])
                self.assertEqual(len({r.sequence for r in requests}), 2)

    def test_sizes_fragments_and_no_route_option(self):
        # (arguments, engines, data bytes, fragmented): -f keeps 1452 bytes whole at the link's
        # 1500; 2000 bytes without it go in fragments; -r adds no extension header to IPv6.
        alpha = self.lab["ALPHA_ADDR6"]
        cases = [(["-f", "-s", "1452"], ENGINES, 1452, False),
                 (["-s", "2000"], ENGINES, 2000, True),
                 (["-r", "3"], (RAW,), 32, False),
                 (["-s", "33"], (RAW,), 33, False)]
        for args, engines, size, fragmented in cases:
            for engine in engines:
                with self.subTest(args=args, engine=engine.name):
                    _, result, capture = self.capture_run([alpha, "-n", "1"] + args
                                                          + engine.args, user=engine.user)
                    self.assertEqual(result.code, 0, result)
                    (request,) = capture.requests()
                    # Without -h: the system's own, and the echo service's 128 as for IPv4.
                    self.assertEqual(request.hop_limit, 64 if engine is RAW else 128)
                    if fragmented:
                        self.assertLessEqual(len(request.ip), 1500)
                    else:
                        self.assertEqual(request.payload_length, 8 + size)
                    self.assertEqual(request.extension_headers,
                                     [labsupport.FRAGMENT] if fragmented else [])
                    self.assertEqual(request.more_fragments, fragmented)
                    if not fragmented:
                        self.assertTrue(request.checksum_valid())


if __name__ == "__main__":
    labsupport.main()

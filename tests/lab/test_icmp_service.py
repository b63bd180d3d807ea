#!/usr/bin/env python3
"""The helper-library engine on the kernel's ping sockets, end to end in the lab: replies,
statuses of ICMP errors, Don't Fragment, route options, and the fallback from the raw socket."""

import labsupport
from labsupport import (DF_MESSAGE, NOBODY, NOT_LOADABLE, PING_SOCKETS_FIX, RAW_REFUSED,
                        ROUTES_DISABLED, SWITCHING, LabTestCase, header, how_to_fix, reply,
                        statistics, timed_out)


class ServiceTestCase(LabTestCase):
    def run(self, result=None):
        # Every test here needs ping sockets in the client, whatever an earlier test left.
        with self.lab.ping_sockets(allowed=True):
            return super().run(result)


class Replies(ServiceTestCase):
    def test_a_name_shows_the_address_in_replies_and_the_name_in_the_statistics(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([self.lab["ALPHA_NAME"], "-i", "-n", "3", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(alpha, interval=50,
                                                      name=self.lab["ALPHA_FQDN"])
                          + "".join(reply(n, alpha) for n in range(1, 4))
                          + statistics(self.lab["ALPHA_NAME"], 3, 3))

    def test_ttl_and_tos_of_the_reply(self):
        far = self.lab["FAR_ADDR"]
        result = self.lab.run([far, "-i", "-n", "2", "-t", "50", "-v", "8"])
        self.assertOutput(result, "<banner>" + header(far, interval=50)
                          + reply(1, far, ttl=62, tos=8) + reply(2, far, ttl=62, tos=8)
                          + statistics(far, 2, 2))

    def test_the_silent_host_times_out_without_pauses(self):
        silent = self.lab["SILENT_ADDR"]
        result = self.lab.run([silent, "-i", "-n", "3", "-w", "200", "-t", "3000"])
        self.assertOutput(result, "<banner>" + header(silent, interval=3000)
                          + timed_out(silent) * 3 + statistics(silent, 3, 0), code=1)
        self.assertNoPause(result, 3.0)

    def test_an_unknown_name(self):
        name = self.lab["UNKNOWN_NAME"]
        result = self.lab.run([name, "-i", "-n", "2"])
        self.assertOutput(result, "<banner>Could not resolve the host name %s\n" % name, code=2)

    def test_a_dotted_address_with_names_on(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-i", "-n", "1", "-a"])
        self.assertOutput(result, "<banner>" + header(alpha, name=self.lab["ALPHA_FQDN"])
                          + reply(1, alpha) + statistics(alpha, 1, 1))

    def test_the_largest_request(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-i", "-n", "1", "-s", "65500"])
        self.assertOutput(result, "<banner>" + header(alpha, 65500) + reply(1, alpha, 65500)
                          + statistics(alpha, 1, 1))


class Statuses(ServiceTestCase):
    def test_ttl_1_toward_the_far_host_is_ttl_expired_in_transit(self):
        far = self.lab["FAR_ADDR"]
        result = self.lab.run([far, "-i", "-n", "2", "-h", "1", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(far, interval=50)
                          + "Incorrect IP status: 11013\n" * 2 + statistics(far, 2, 0), code=5)

    def test_icmp_errors_become_their_statuses(self):
        # type, code -> status; fragmentation needed only counts for a request that said so.
        # Wine's ICMP.DLL has statuses of its own for two of them.
        cases = [(3, 0, 11002, []), (3, 1, 11003, []), (3, 2, 11004, []), (3, 3, 11005, []),
                 (3, 4, 11009, ["-f"]), (3, 5, 11012, []), (11, 0, 11013, []),
                 (3, 13, labsupport.on_wine(11050, 11003), []),
                 (12, 0, labsupport.on_wine(11050, 11015), [])]
        for number, (icmp_type, icmp_code, status, flags) in enumerate(cases, start=1):
            address = "198.18.8.%d" % number
            with self.subTest(type=icmp_type, code=icmp_code), \
                    self.lab.responder(address, "--other", "1", "--other-type", str(icmp_type),
                                       "--other-code", str(icmp_code), "--no-reply"):
                result = self.lab.run([address, "-i", "-n", "1", "-w", "500"] + flags)
                self.assertOutput(result, "<banner>" + header(address)
                                  + "Incorrect IP status: %d\n" % status
                                  + statistics(address, 1, 0), code=5)

    def test_a_reply_with_less_data_is_too_few_bytes(self):
        address = "198.18.8.20"
        with self.lab.responder(address, "--truncate", "20", "--only", "2"):
            result = self.lab.run([address, "-i", "-n", "3", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(address, interval=50) + reply(1, address)
                          + "Too few bytes from %s\n" % address + reply(3, address)
                          + statistics(address, 3, 2))

    def test_stale_and_duplicate_replies_are_passed_over(self):
        address = "198.18.8.21"
        with self.lab.responder(address, "--stale", "5", "--duplicate", "2"):
            result = self.lab.run([address, "-i", "-n", "3", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(address, interval=50)
                          + "".join(reply(n, address) for n in range(1, 4))
                          + statistics(address, 3, 3))

    def test_a_late_reply_is_passed_over_while_the_next_is_answered(self):
        address = "198.18.8.22"
        with self.lab.responder(address, "--delay", "400", "--only", "1"):
            result = self.lab.run([address, "-i", "-n", "3", "-w", "200", "-t", "300"])
        self.assertOutput(result, "<banner>" + header(address, interval=300)
                          + timed_out(address) + reply(2, address) + reply(3, address)
                          + statistics(address, 3, 2))

    def test_an_error_after_its_time_out_leaves_the_next_request_alone(self):
        # The error about request 1 comes in the pause after reply 2; the kernel keeps it pending
        # on the socket, to be reported by the next send.
        address = "198.18.8.23"
        with self.lab.responder(address, "--other", "1", "--no-reply", "--delay", "2000",
                                "--only", "1"):
            result = self.lab.run([address, "-i", "-n", "3", "-w", "1000", "-t", "3000"])
        self.assertOutput(result, "<banner>" + header(address, interval=3000)
                          + timed_out(address) + reply(2, address) + reply(3, address)
                          + statistics(address, 3, 2))


class DontFragment(ServiceTestCase):
    def test_1473_bytes_four_times(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-i", "-f", "-s", "1473", "-n", "4", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(alpha, 1473, 50) + DF_MESSAGE * 4
                          + statistics(alpha, 4, 0), code=3)

    def test_1472_bytes_are_sent(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-i", "-f", "-s", "1472", "-n", "1"])
        self.assertOutput(result, "<banner>" + header(alpha, 1472) + reply(1, alpha, 1472)
                          + statistics(alpha, 1, 1))


class RouteOptions(ServiceTestCase):
    def test_route_options_are_disabled_right_after_the_banner(self):
        far = self.lab["FAR_ADDR"]
        result = self.lab.run([far, "-i", "-r", "3", "-n", "1"])
        self.assertOutput(result, "<banner>" + ROUTES_DISABLED + header(far)
                          + reply(1, far, ttl=62) + statistics(far, 1, 1))


class Fallback(LabTestCase):
    # Refused raw sockets and ping sockets: a Linux user's rights, which Wine under root lacks.
    @labsupport.not_under_wine("Linux privileges")
    def test_without_raw_sockets_the_same_host_goes_through_the_service(self):
        alpha = self.lab["ALPHA_ADDR"]
        with self.lab.ping_sockets(allowed=True):
            result = self.lab.run([alpha, "-n", "2", "-t", "50"], user=NOBODY)
        self.assertOutput(result, "<banner>" + RAW_REFUSED + SWITCHING
                          + header(alpha, interval=50) + reply(1, alpha) + reply(2, alpha)
                          + statistics(alpha, 2, 2))

    @labsupport.not_under_wine("Linux privileges")
    def test_the_fallback_drops_the_route_options(self):
        alpha = self.lab["ALPHA_ADDR"]
        with self.lab.ping_sockets(allowed=True):
            result = self.lab.run([self.lab["ALPHA_NAME"], "-n", "1", "-r", "3"], user=NOBODY)
        self.assertOutput(result, "<banner>" + RAW_REFUSED + SWITCHING + ROUTES_DISABLED
                          + header(alpha, name=self.lab["ALPHA_FQDN"]) + reply(1, alpha)
                          + statistics(self.lab["ALPHA_NAME"], 1, 1))

    @labsupport.not_under_wine("Linux privileges")
    def test_with_ping_sockets_refused_as_well_nothing_can_ping(self):
        alpha = self.lab["ALPHA_ADDR"]
        with self.lab.ping_sockets(allowed=False):
            result = self.lab.run([alpha, "-n", "2"], user=NOBODY)
        self.assertOutput(result, "<banner>" + RAW_REFUSED + SWITCHING + NOT_LOADABLE
                          + how_to_fix(), code=2)

    @labsupport.not_under_wine("Linux privileges")
    def test_ping_sockets_refused_to_root_with_the_service_chosen(self):
        alpha = self.lab["ALPHA_ADDR"]
        with self.lab.ping_sockets(allowed=False):
            result = self.lab.run([alpha, "-i", "-n", "2"])
        self.assertOutput(result, "<banner>" + NOT_LOADABLE + PING_SOCKETS_FIX, code=2)


if __name__ == "__main__":
    labsupport.main()

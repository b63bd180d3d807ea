#!/usr/bin/env python3
"""One host pinged over the raw socket, end to end in the lab: replies, time-outs, routes, TTL,
TOS, Don't Fragment, names, stamps, the log file and the console signals."""

import os
import signal
import tempfile
import time

import labsupport
from labsupport import (DF_MESSAGE, LabTestCase, header, receive_failed, reply, statistics,
                        timed_out)


class Replies(LabTestCase):
    def test_four_replies_from_the_answering_host(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "4", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(alpha, interval=50)
                          + "".join(reply(n, alpha) for n in range(1, 5))
                          + statistics(alpha, 4, 4))

    def test_a_name_shows_the_official_name_and_the_statistics_the_address(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([self.lab["ALPHA_NAME"], "-n", "3", "-s", "100", "-t", "50"])
        self.assertOutput(result, "<banner>"
                          + header(alpha, 100, 50, name=self.lab["ALPHA_FQDN"])
                          + "".join(reply(n, alpha, 100) for n in range(1, 4))
                          + statistics(alpha, 3, 3))

    def test_every_address_of_the_host_answers_for_itself(self):
        for address in (self.lab["ALPHA_ADDR2"], "198.18.2.200"):
            with self.subTest(address=address):
                result = self.lab.run([address, "-n", "1"])
                self.assertOutput(result, "<banner>" + header(address) + reply(1, address)
                                  + statistics(address, 1, 1))

    def test_the_far_host_answers_with_the_hops_taken_off_its_ttl(self):
        far = self.lab["FAR_ADDR"]
        result = self.lab.run([far, "-n", "2", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(far, interval=50) + reply(1, far, ttl=62)
                          + reply(2, far, ttl=62) + statistics(far, 2, 2))

    def test_limited_output_shows_the_replies_alone(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "2", "-t", "50", "-l"])
        self.assertOutput(result, reply(1, alpha) + reply(2, alpha))

    def test_the_last_pause_is_left_out(self):
        # Two replies, one pause of the interval between them and none after the last.
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "2", "-t", "1500"])
        self.assertOutput(result, "<banner>" + header(alpha, interval=1500) + reply(1, alpha)
                          + reply(2, alpha) + statistics(alpha, 2, 2))
        self.assertGreaterEqual(result.elapsed, 1.5)
        self.assertNoPause(result, 2.9)


class TimeOuts(LabTestCase):
    def test_four_time_outs_from_the_silent_host_without_pauses(self):
        silent = self.lab["SILENT_ADDR"]
        result = self.lab.run([silent, "-n", "4", "-w", "200", "-t", "3000"])
        self.assertOutput(result, "<banner>" + header(silent, interval=3000)
                          + timed_out(silent) * 4 + statistics(silent, 4, 0), code=1)
        # Each wait takes the time-out; no interval follows a time-out.
        self.assertGreaterEqual(result.elapsed, 0.8)
        self.assertNoPause(result, 3.0)


class TimeToLive(LabTestCase):
    def test_ttl_1_toward_the_far_host_ends_in_a_coded_time_out(self):
        # The router's time-exceeded message is no echo reply; two more receives run out of time.
        far = self.lab["FAR_ADDR"]
        result = self.lab.run([far, "-n", "1", "-h", "1", "-w", "200"])
        self.assertOutput(result, "<banner>" + header(far) + receive_failed() * 2
                          + timed_out(far, 4) + statistics(far, 1, 0), code=1)

    def test_ttl_3_is_just_enough_for_the_far_host(self):
        # Each router takes one from the TTL: 2 expires at the second router, 3 arrives.
        far = self.lab["FAR_ADDR"]
        result = self.lab.run([far, "-n", "1", "-h", "2", "-w", "200"])
        self.assertOutput(result, "<banner>" + header(far) + receive_failed() * 2
                          + timed_out(far, 4) + statistics(far, 1, 0), code=1)
        result = self.lab.run([far, "-n", "1", "-h", "3"])
        self.assertOutput(result, "<banner>" + header(far) + reply(1, far, ttl=62)
                          + statistics(far, 1, 1))


class RecordRoute(LabTestCase):
    def test_three_slots_hold_the_first_three_hops(self):
        far = self.lab["FAR_ADDR"]
        result = self.lab.run([far, "-n", "1", "-r", "3"])
        route = "\tRoute:  %s  ->\n\t\t%s  ->\n\t\t%s\n" % (
            self.lab["CLIENT_ROUTER_ADDR"], self.lab["ROUTER1_OUT_ADDR"],
            self.lab["ROUTER2_OUT_ADDR"])
        self.assertOutput(result, "<banner>" + header(far) + reply(1, far, ttl=62) + route
                          + statistics(far, 1, 1))

    def test_nine_slots_with_names_show_the_way_there_and_back(self):
        # The sender, each router and the far host record themselves; hops with a name in the
        # client's hosts file show it, the others their address alone.
        far = self.lab["FAR_ADDR"]
        result = self.lab.run([far, "-n", "1", "-r", "9", "-a"])
        route = ("\tRoute:  198.18.4.1  ->\n"
                 "\t\tr1.lab.test [198.18.5.1]  ->\n"
                 "\t\tr2.lab.test [198.18.6.1]  ->\n"
                 "\t\tfar.lab.test [198.18.6.2]  ->\n"
                 "\t\tfar.lab.test [198.18.6.2]  ->\n"
                 "\t\t198.18.5.2  ->\n"
                 "\t\tr1-in.lab.test [198.18.4.2]  ->\n"
                 "\t\t198.18.4.1\n")
        self.assertOutput(result, "<banner>" + header(far, name=self.lab["FAR_FQDN"])
                          + reply(1, far, ttl=62) + route + statistics(far, 1, 1))

    def test_every_reply_carries_its_own_route(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "2", "-r", "2", "-t", "50"])
        # The client records its own address, then the answering host on receive.
        route = "\tRoute:  198.18.1.1  ->\n\t\t%s\n" % alpha
        self.assertOutput(result, "<banner>" + header(alpha, interval=50)
                          + reply(1, alpha) + route + reply(2, alpha) + route
                          + statistics(alpha, 2, 2))


class DontFragment(LabTestCase):
    def test_1473_bytes_cannot_go_unfragmented(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "3", "-f", "-s", "1473", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(alpha, 1473, 50) + DF_MESSAGE * 3
                          + statistics(alpha, 3, 0), code=3)

    def test_1472_bytes_fill_the_link_exactly(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "2", "-f", "-s", "1472", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(alpha, 1472, 50) + reply(1, alpha, 1472)
                          + reply(2, alpha, 1472) + statistics(alpha, 2, 2))

    def test_large_requests_without_the_flag_are_fragmented_and_answered(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "1", "-s", "65500"])
        self.assertOutput(result, "<banner>" + header(alpha, 65500) + reply(1, alpha, 65500)
                          + statistics(alpha, 1, 1))


class TypeOfService(LabTestCase):
    def test_the_reply_carries_the_tos_back(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "2", "-v", "16", "-t", "50"])
        self.assertOutput(result, "<banner>" + header(alpha, interval=50)
                          + reply(1, alpha, tos=16) + reply(2, alpha, tos=16)
                          + statistics(alpha, 2, 2))

    def test_tos_0_given_still_shows_the_tail(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "1", "-v", "0"])
        self.assertOutput(result, "<banner>" + header(alpha) + reply(1, alpha, tos=0)
                          + statistics(alpha, 1, 1))


class Names(LabTestCase):
    def test_a_dotted_address_with_names_on_shows_the_reverse_name(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "1", "-a"])
        self.assertOutput(result, "<banner>" + header(alpha, name=self.lab["ALPHA_FQDN"])
                          + reply(1, alpha) + statistics(alpha, 1, 1))

    def test_an_address_without_a_name_keeps_the_plain_header(self):
        address = self.lab["ALPHA_ADDR3"]
        result = self.lab.run([address, "-n", "1", "-a"])
        self.assertOutput(result, "<banner>" + header(address) + reply(1, address)
                          + statistics(address, 1, 1))

    def test_an_unknown_name_is_reported_with_exit_code_2(self):
        name = self.lab["UNKNOWN_NAME"]
        result = self.lab.run([name, "-n", "2"])
        self.assertOutput(result, "<banner>Host not found: %s  error 11001\n" % name, code=2)


class Stamps(LabTestCase):
    def test_time_stamps_on_replies_and_time_outs(self):
        alpha, silent = self.lab["ALPHA_ADDR"], self.lab["SILENT_ADDR"]
        result = self.lab.run([alpha, "-n", "1", "-T"])
        self.assertOutput(result, "<banner>" + header(alpha)
                          + reply(1, alpha, stamp="hh:mm:ss : ") + statistics(alpha, 1, 1))
        result = self.lab.run([silent, "-n", "1", "-w", "100", "-D"])
        self.assertOutput(result, "<banner>" + header(silent)
                          + timed_out(silent, stamp="yyyy/mm/dd hh:mm:ss : ")
                          + statistics(silent, 1, 0), code=1)

    def test_with_both_stamps_the_time_alone_wins(self):
        alpha = self.lab["ALPHA_ADDR"]
        result = self.lab.run([alpha, "-n", "1", "-T", "-D"])
        self.assertOutput(result, "<banner>" + header(alpha)
                          + reply(1, alpha, stamp="hh:mm:ss : ") + statistics(alpha, 1, 1))


class LogAndBeep(LabTestCase):
    def test_the_log_file_holds_the_console_text(self):
        alpha = self.lab["ALPHA_ADDR"]
        with tempfile.TemporaryDirectory() as directory:
            log = os.path.join(directory, "run.log")
            result = self.lab.run([alpha, "-n", "2", "-t", "50", "-L", log])
            with open(log, encoding="latin-1") as text:
                self.assertEqual(text.read(), result.out)
        self.assertOutput(result, "<banner>" + header(alpha, interval=50) + reply(1, alpha)
                          + reply(2, alpha) + statistics(alpha, 2, 2))

    def test_beeps_never_reach_standard_output(self):
        alpha, silent = self.lab["ALPHA_ADDR"], self.lab["SILENT_ADDR"]
        result = self.lab.run([alpha, "-n", "1", "-b"])
        self.assertOutput(result, "<banner>" + header(alpha) + reply(1, alpha)
                          + statistics(alpha, 1, 1))
        result = self.lab.run([silent, "-n", "1", "-w", "100", "-b-"])
        self.assertOutput(result, "<banner>" + header(silent) + timed_out(silent)
                          + statistics(silent, 1, 0), code=1)


class ConsoleSignals(LabTestCase):
    @labsupport.not_under_wine("SIGQUIT ends Wine; Control-Break cannot be sent from Linux")
    def test_sigquit_shows_the_interim_block_and_pinging_goes_on(self):
        alpha = self.lab["ALPHA_ADDR"]
        running = self.lab.start([alpha, "-c", "-t", "200"])
        try:
            running.wait_for(r"Reply\[2\]")
            running.send(signal.SIGQUIT)
            running.wait_for(r"Reply\[5\]")
            running.send(signal.SIGINT)
            result = running.finish()
        finally:
            running.kill()
        # The interim block comes before the request that follows the signal.
        before = result.out.split("\nPing statistics")[0].count("Reply[")
        total = result.out.count("Reply[")
        self.assertOutput(result, "<banner>" + header(alpha, interval=200)
                          + "".join(reply(n, alpha) for n in range(1, before + 1))
                          + statistics(alpha, before, before, interim=True)
                          + "".join(reply(n, alpha) for n in range(before + 1, total + 1))
                          + statistics(alpha, total, total))
        self.assertGreaterEqual(total, 5)

    def test_sigint_ends_the_run_with_the_final_block(self):
        alpha = self.lab["ALPHA_ADDR"]
        running = self.lab.start([alpha, "-n", "100", "-t", "100"])
        try:
            running.wait_for(r"Reply\[3\]")
            running.send(signal.SIGINT)
            result = running.finish()
        finally:
            running.kill()
        total = result.out.count("Reply[")
        self.assertOutput(result, "<banner>" + header(alpha, interval=100)
                          + "".join(reply(n, alpha) for n in range(1, total + 1))
                          + statistics(alpha, total, total))
        self.assertLess(total, 100)

    def test_sigint_ends_a_long_pause_early(self):
        alpha = self.lab["ALPHA_ADDR"]
        running = self.lab.start([alpha, "-n", "3", "-t", "20000"])
        try:
            running.wait_for(r"Reply\[1\]")
            running.send(signal.SIGINT)
            result = running.finish(timeout=10)
        finally:
            running.kill()
        self.assertOutput(result, "<banner>" + header(alpha, interval=20000) + reply(1, alpha)
                          + statistics(alpha, 1, 1))
        self.assertNoPause(result, 10)

    def test_sigint_during_a_wait_lets_the_wait_run_out(self):
        silent = self.lab["SILENT_ADDR"]
        running = self.lab.start([silent, "-c", "-w", "3000"])
        try:
            running.wait_for(r"Pinging")
            time.sleep(0.3)  # inside the first wait, with time to spare
            running.send(signal.SIGINT)
            result = running.finish()
        finally:
            running.kill()
        self.assertOutput(result, "<banner>" + header(silent) + timed_out(silent)
                          + statistics(silent, 1, 0), code=1)

    def test_a_second_sigint_ends_a_wait_of_49_days(self):
        # The first lets the wait run on, as it does for any time-out; the second ends it, and
        # the run closes as after a time-out, statistics included. After an ICMP error the raw
        # engine's further receives end as if they had run out of time.
        silent, far = self.lab["SILENT_ADDR"], self.lab["FAR_ADDR"]
        cases = [("raw", [silent], timed_out(silent)),
                 ("echo service", [silent, "-i"], timed_out(silent)),
                 ("raw after an ICMP error", [far, "-h", "1"],
                  receive_failed() * 2 + timed_out(far, 4))]
        if labsupport.under_wine():
            # IcmpSendEcho is one blocking call that no Control-C can end.
            cases = [case for case in cases if case[0] != "echo service"]
        for name, args, lines in cases:
            with self.subTest(name), self.lab.ping_sockets(allowed=True):
                running = self.lab.start(args + ["-c", "-w", "-1"])
                try:
                    running.wait_for(r"Pinging")
                    time.sleep(0.3)
                    running.send(signal.SIGINT)
                    time.sleep(0.5)
                    self.assertIsNone(running.process.poll(), "the first SIGINT ended the wait")
                    second = time.monotonic()
                    running.send(signal.SIGINT)
                    result = running.finish(timeout=10)
                    ended = time.monotonic() - second
                finally:
                    running.kill()
                self.assertOutput(result, "<banner>" + header(args[0]) + lines
                                  + statistics(args[0], 1, 0), code=1)
                self.assertLess(ended, 0.5, result)

if __name__ == "__main__":
    labsupport.main()

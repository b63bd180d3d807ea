#!/usr/bin/env python3
"""What the program puts on the wire, read back from a capture in the client namespace:
checksums, identifiers and sequence numbers, the fill, TTL, TOS, Don't Fragment and options."""

import struct

import labsupport
from labsupport import LabTestCase


class RawRequests(LabTestCase):
    def capture_run(self, args, interface="CLIENT_TO_ALPHA_IF"):
        with self.lab.capture(self.lab[interface]) as capture:
            running = self.lab.start(args)
            try:
                result = running.finish()
            finally:
                running.kill()
        return running.pid, result, capture

    def test_requests_carry_what_the_options_ask_for(self):
        alpha = self.lab["ALPHA_ADDR"]
        pid, result, capture = self.capture_run(
            [alpha, "-n", "3", "-t", "60", "-s", "40", "-d", "abc", "-h", "5", "-v", "16"])
        self.assertEqual(result.code, 0, result)
        requests = capture.requests()
        self.assertEqual(len(requests), 3, result)
        for request in requests:
            self.assertEqual((request.source, request.destination),
                             (self.lab["CLIENT_ALPHA_ADDR"], alpha))
            self.assertTrue(request.checksum_valid())
            self.assertEqual((request.ttl, request.tos), (5, 16))
            self.assertEqual(request.options, b"")
            self.assertEqual(len(request.icmp), 48)
            self.assertEqual(request.code, 0)
            # The thread that sends is the process's only one.
            self.assertEqual(request.identifier, pid & 0xFFFF)
            # A 4-byte time stamp, then the pattern over the remaining 36 bytes.
            self.assertEqual(request.data[4:], b"abc" * 12)
        self.assertEqual([r.sequence for r in requests], [1, 2, 3])
        stamps = [struct.unpack("<I", r.data[:4])[0] for r in requests]
        for earlier, later in zip(stamps, stamps[1:]):
            self.assertGreaterEqual((later - earlier) & 0xFFFFFFFF, 60)
        replies = capture.replies()
        self.assertEqual(len(replies), 3)
        for request, answer in zip(requests, replies):
            self.assertTrue(answer.checksum_valid())
            self.assertEqual((answer.identifier, answer.sequence),
                             (request.identifier, request.sequence))

    def test_a_pattern_longer_than_the_fill_is_cut(self):
        alpha = self.lab["ALPHA_ADDR"]
        _, result, capture = self.capture_run([alpha, "-n", "1", "-s", "10", "-d",
                                               "0123456789"])
        self.assertEqual(result.code, 0, result)
        (request,) = capture.requests()
        self.assertEqual(request.data[4:], b"012345")

    def test_odd_sizes_have_valid_checksums(self):
        alpha = self.lab["ALPHA_ADDR"]
        _, result, capture = self.capture_run([alpha, "-n", "3", "-t", "20", "-s", "33"])
        self.assertEqual(result.code, 0, result)
        requests = capture.requests()
        self.assertEqual(len(requests), 3)
        for request in requests:
            self.assertEqual(len(request.icmp), 41)
            self.assertTrue(request.checksum_valid())

    def test_dont_fragment_is_set_on_the_wire(self):
        alpha = self.lab["ALPHA_ADDR"]
        _, result, capture = self.capture_run([alpha, "-n", "1", "-f", "-s", "1472"])
        self.assertEqual(result.code, 0, result)
        (request,) = capture.requests()
        self.assertTrue(request.dont_fragment)
        self.assertEqual(request.total_length, 1500)
        self.assertEqual(request.ttl, 64)  # no TTL option set: the system's own

    def test_without_the_flag_requests_may_be_fragmented(self):
        # -f alone asks for Don't Fragment; without it a router on a narrower path fragments the
        # request instead of dropping it.
        alpha = self.lab["ALPHA_ADDR"]
        _, result, capture = self.capture_run([alpha, "-n", "1", "-s", "1000"])
        self.assertEqual(result.code, 0, result)
        with self.lab.ping_sockets(allowed=True), \
                self.lab.capture(self.lab["CLIENT_TO_ALPHA_IF"]) as service_capture:
            service_result = self.lab.run([alpha, "-i", "-n", "1", "-s", "1000"])
        self.assertEqual(service_result.code, 0, service_result)
        for engine, packets in (("raw", capture), ("echo service", service_capture)):
            with self.subTest(engine=engine):
                (request,) = packets.requests()
                self.assertFalse(request.dont_fragment)

    def test_the_record_route_option_goes_out_with_its_slots(self):
        alpha = self.lab["ALPHA_ADDR"]
        _, result, capture = self.capture_run([alpha, "-n", "1", "-r", "3"])
        self.assertEqual(result.code, 0, result)
        (request,) = capture.requests()
        # Type 7, length 3 + 4 x 3, and the sender's own address already in the first slot.
        self.assertEqual(request.options[:3], bytes([7, 15, 8]))
        self.assertEqual(request.options[3:7], bytes([198, 18, 1, 1]))
        self.assertEqual(request.options[7:15], bytes(8))

    def test_sequence_numbers_run_on_across_hosts_and_passes(self):
        alpha, alpha2 = self.lab["ALPHA_ADDR"], self.lab["ALPHA_ADDR2"]
        pid, result, capture = self.capture_run([alpha, alpha2, "-n", "2", "-t", "30"])
        self.assertEqual(result.code, 0, result)
        requests = capture.requests()
        self.assertEqual([(r.destination, r.sequence) for r in requests],
                         [(alpha, 1), (alpha2, 2), (alpha, 3), (alpha2, 4)])
        self.assertEqual({r.identifier for r in requests}, {pid & 0xFFFF})

    def test_random_sizes_carry_random_data_without_zero_bytes(self):
        alpha = self.lab["ALPHA_ADDR"]
        _, result, capture = self.capture_run([alpha, "-R", "20/40", "-n", "6", "-t", "20"])
        self.assertEqual(result.code, 0, result)
        requests = capture.requests()
        self.assertEqual(len(requests), 6, result)
        for request in requests:
            self.assertTrue(request.checksum_valid())
            self.assertIn(len(request.data), range(20, 40))
            self.assertNotIn(0, request.data[4:])
            self.assertIn("bytes=%d " % len(request.data), result.out)


class EchoServiceRequests(LabTestCase):
    def test_the_echo_service_sends_the_data_ttl_tos_and_flag(self):
        alpha = self.lab["ALPHA_ADDR"]
        with self.lab.ping_sockets(allowed=True), \
                self.lab.capture(self.lab["CLIENT_TO_ALPHA_IF"]) as capture:
            result = self.lab.run([alpha, "-i", "-n", "2", "-t", "30", "-s", "20", "-d", "abc",
                                   "-h", "7", "-v", "32", "-f"])
        self.assertEqual(result.code, 0, result)
        requests = capture.requests()
        self.assertEqual(len(requests), 2, result)
        for request in requests:
            self.assertTrue(request.checksum_valid())
            self.assertEqual((request.ttl, request.tos, request.dont_fragment), (7, 32, True))
            # The data is the pattern alone: no time stamp of the program's own.
            self.assertEqual(request.data, (b"abc" * 7)[:20])
        self.assertEqual(len({r.sequence for r in requests}), 2)

    def test_the_echo_service_sends_no_route_option(self):
        alpha = self.lab["ALPHA_ADDR"]
        with self.lab.ping_sockets(allowed=True), \
                self.lab.capture(self.lab["CLIENT_TO_ALPHA_IF"]) as capture:
            result = self.lab.run([alpha, "-i", "-r", "3", "-n", "1"])
        self.assertEqual(result.code, 0, result)
        (request,) = capture.requests()
        self.assertEqual(request.options, b"")


if __name__ == "__main__":
    labsupport.main()

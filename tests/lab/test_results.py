#!/usr/bin/env python3
"""Address prefixes and the machine outputs end to end in the lab: prefixes against the ranges
they stand for, IPv6 ranges wherever they lie, JSON Lines checked by the schema and by jq against
the text run, the per-host table and the list of answering addresses."""

import ipaddress
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import jsonschema

import labsupport
from labsupport import (USAGE_HINT, LabTestCase, all_times_masked, many_header, reply,
                        send_unreachable, timed_out, totals)

FIRST6 = ipaddress.ip_address("fd00:5152:2::")
SCHEMA_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "schema",
                           "quilvane-results.schema.json")
REPLY_LINE = re.compile(r"^(?:[\d/: ]+ : )?Reply\[(\d+)\] from (\S+): bytes=(\d+) time=\S+ ms "
                        r"TTL=(\d+)(?: TOS=(\d+))?$", re.M)


def jq(filter_text, text):
    """What jq makes of the output: it must read every line."""
    done = subprocess.run(["jq", "-c", filter_text], input=text, capture_output=True, text=True,
                          check=True)
    return done.stdout


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


class JsonLines(LabTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(SCHEMA_PATH) as schema_file:
            schema = json.load(schema_file)
        jsonschema.Draft202012Validator.check_schema(schema)
        cls.validator = jsonschema.Draft202012Validator(schema)

    def objects(self, result):
        """Every line of standard output is one object that the schema accepts."""
        self.assertTrue(result.out.endswith("\n") and result.out.strip(), repr(result))
        objects = []
        for line in result.out.splitlines():
            value = json.loads(line)
            errors = [error.message for error in self.validator.iter_errors(value)]
            self.assertEqual(errors, [], line)
            objects.append(value)
        self.assertEqual(objects[-1]["type"], "total")
        # jq reads the same lines and finds the same objects.
        self.assertEqual(jq(".type", result.out).split(),
                         ['"%s"' % value["type"] for value in objects])
        return objects

    def assertSameAsText(self, args, code=None, **options):
        """The JSON run's replies are the text run's reply lines, one for one; its summaries and
        total agree with the text's counts."""
        text = self.lab.run(args, **options)
        result = self.lab.run(args + ["--json"], **options)
        objects = self.objects(result)
        replies = [o for o in objects if o["type"] == "reply"]
        lines = REPLY_LINE.findall(text.out)
        self.assertEqual(len(replies), len(lines), repr(result))
        for event, (number, address, size, ttl, tos) in zip(replies, lines):
            self.assertEqual((event["number"], event["address"], event["size"], event["ttl"]),
                             (int(number), address, int(size), int(ttl)))
            if tos:
                self.assertEqual(event["tos"], int(tos))
        total = objects[-1]
        packets = re.findall(r"Sent = (\d+), Received = (\d+)", text.out)
        if packets:
            self.assertEqual((total["sent"], total["received"]),
                             tuple(int(n) for n in packets[-1]))
        summaries = [o for o in objects if o["type"] == "summary"]
        self.assertEqual(sum(o["sent"] for o in summaries), total["sent"])
        self.assertEqual(sum(o["received"] for o in summaries), total["received"])
        self.assertEqual(result.code, text.code if code is None else code)
        self.assertNotIn("Reply[", result.err)
        return objects, result

    def test_every_run_kind_validates_and_matches_the_text(self):
        lab = self.lab
        alpha, alpha2, silent = lab["ALPHA_ADDR"], lab["ALPHA_ADDR2"], lab["SILENT_ADDR"]
        cases = {
            "single host": [alpha, "-n", "3", "-t", "50"],
            "many hosts": [alpha, alpha2, silent, "-n", "2", "-w", "100", "-t", "50"],
            "sweep": [alpha, alpha2, "-S", "10/12", "-t", "20"],
            "random sizes": [alpha, alpha2, "-R", "20/30", "-n", "3", "-t", "20"],
            "in flight": ["-g", "198.18.2.1/198.18.2.40", silent, "-p", "16", "-w", "200"],
            "echo service": [alpha, alpha2, "-i", "-n", "2", "-t", "20", "-v", "16"],
            "ipv6": [lab["ALPHA_ADDR6"], "fd00:5152:2::/124", "-n", "2", "-t", "20"],
            "stamps and names": [lab["ALPHA_NAME"], alpha2, "-a", "-T", "-n", "2", "-t", "20"],
        }
        for name, args in cases.items():
            with self.subTest(name):
                self.assertSameAsText(args)

    def test_errors_are_events_of_their_host(self):
        lab = self.lab
        alpha, outside, unknown = lab["ALPHA_ADDR"], lab["OUTSIDE_ADDR"], lab["UNKNOWN_NAME"]
        objects, result = self.assertSameAsText([alpha, unknown, outside, "-w", "100"])
        errors = [(o["host"], o["text"]) for o in objects if o["type"] == "error"]
        self.assertEqual(errors, [(unknown, "Host not found: %s  error 11001" % unknown),
                                  (outside, "sendto() - Network is unreachable")])
        # The same lines stay readable on standard error.
        self.assertIn("Host not found: %s  error 11001\n" % unknown, result.err)
        far = lab["FAR_ADDR"]
        objects, _ = self.assertSameAsText([far, alpha, "-h", "1", "-w", "200", "-i"])
        self.assertEqual([(o["host"], o["text"]) for o in objects if o["type"] == "error"],
                         [(far, "Incorrect IP status: 11013")])

    def test_dont_fragment_and_routes(self):
        lab = self.lab
        alpha, far = lab["ALPHA_ADDR"], lab["FAR_ADDR"]
        objects, _ = self.assertSameAsText([alpha, far, "-f", "-s", "2000", "-w", "100"])
        self.assertEqual([o["host"] for o in objects if o["type"] == "dont_fragment"],
                         [alpha, far])
        args = [far, alpha, "-r", "9", "-n", "1", "-w", "500"]
        objects, _ = self.assertSameAsText(args)
        hops = [o["hops"] for o in objects if o["type"] == "route"]
        # The hops of each route block, as the text shows them.
        text = self.lab.run(args).out
        blocks = [re.findall(r"\d+\.\d+\.\d+\.\d+", block)
                  for block in re.findall(r"\tRoute:  (.*?)\n(?=\S)", text, re.S)]
        self.assertEqual(hops, blocks)
        self.assertEqual(hops[0][:3], [lab["CLIENT_ROUTER_ADDR"], lab["ROUTER1_OUT_ADDR"],
                                       lab["ROUTER2_OUT_ADDR"]])

    def test_standard_output_holds_only_results_and_the_log_copies_it(self):
        alpha = self.lab["ALPHA_ADDR"]
        with tempfile.TemporaryDirectory() as folder:
            log = os.path.join(folder, "json.log")
            result = self.lab.run([alpha, "-n", "2", "-t", "20", "--json", "-L", log, "-x"])
            self.objects(result)
            self.assertIn("Quilvane version", result.err)
            self.assertIn("Invalid Option: -x", result.err)
            with open(log) as copy:
                self.assertEqual(copy.read(), result.out)

    def test_which_hosts_are_up_with_jq(self):
        result = self.lab.run(["198.18.1.0/24", "-p", "256", "-w", "300", "--json"])
        self.objects(result)
        up = jq('select(.type == "summary" and .received > 0) | .address', result.out)
        self.assertEqual(up.split(), ['"198.18.1.%d"' % n for n in range(1, 7)])


class PerHostResults(LabTestCase):
    def test_alive_prints_exactly_the_answering_addresses(self):
        # In 198.18.1.0/24 only the client (.1) and alpha (.2 to .6) answer.
        for extra in ([], ["-n", "2", "-t", "20"]):
            with self.subTest(extra=extra):
                result = self.lab.run(["198.18.1.0/24", "-p", "256", "-w", "300", "--alive"]
                                      + extra)
                self.assertEqual(result.out, "".join("198.18.1.%d\n" % n for n in range(1, 7)))
                self.assertEqual(result.code, 0)
        silent = self.lab.run([self.lab["SILENT_ADDR"], "-w", "100", "--alive", "-n", "1"])
        self.assertEqual((silent.out, silent.code), ("", 1))

    def test_summary_table_after_the_statistics(self):
        alpha, silent = self.lab["ALPHA_ADDR"], self.lab["SILENT_ADDR"]
        for extra in ([], ["-n", "3", "-t", "20"]):
            with self.subTest(extra=extra):
                text = self.lab.run([alpha, silent, "-w", "100"] + extra)
                result = self.lab.run([alpha, silent, "-w", "100", "--summary"] + extra)
                head, table = result.out[:len(text.out)], result.out[len(text.out):]
                self.assertEqual(all_times_masked(head), all_times_masked(text.out))
                table = table.splitlines()
                sent = 3 if extra else 1
                self.assertEqual(table[0], "")
                self.assertEqual(table[1].split(), ["Address", "Sent", "Received", "Loss",
                                                    "Minimum", "Average", "Maximum", "Mean",
                                                    "dev", "P50", "P90", "P99"])
                self.assertRegex(table[2], r"^%s +%d +%d +0%%( +\d+\.\d{3}){7}$"
                                 % (re.escape(alpha), sent, sent))
                self.assertEqual(table[3].split(), [silent, str(sent), "0", "100%"] + ["-"] * 7)
                self.assertEqual(len(table), 4)
                self.assertEqual(len(table[1]), len(table[2]))


class Metrics(LabTestCase):
    EXPORTER_PORT = "19109"

    def scrape(self):
        done = self.lab.in_namespace(self.lab.client, [
            "curl", "-sf", "--max-time", "5", "http://127.0.0.1:%s/metrics" % self.EXPORTER_PORT],
            check=False)
        return done.stdout if done.returncode == 0 else ""

    def test_the_node_exporter_serves_every_hosts_series(self):
        if not shutil.which("prometheus-node-exporter") or not shutil.which("promtool"):
            self.skipTest("prometheus-node-exporter and promtool are needed")
        silent = self.lab["SILENT_ADDR"]
        hosts = ["198.18.2.%d" % n for n in range(1, 9)] + [silent]
        with tempfile.TemporaryDirectory() as folder:
            os.chmod(folder, 0o755)
            metrics = os.path.join(folder, "quilvane.prom")
            exporter = subprocess.Popen(
                ["ip", "netns", "exec", self.lab.client, "prometheus-node-exporter",
                 "--web.listen-address=127.0.0.1:" + self.EXPORTER_PORT,
                 "--collector.disable-defaults", "--collector.textfile",
                 "--collector.textfile.directory=" + folder],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            running = self.lab.start(hosts + ["-c", "-t", "200", "-w", "100", "-p", "16",
                                              "--metrics", metrics])
            try:
                scraped = ""
                deadline = time.monotonic() + 20
                # Two passes at least, so that the file has been replaced while being read.
                while time.monotonic() < deadline:
                    scraped = self.scrape()
                    if re.search(r"^quilvane_run_passes_total [2-9]", scraped, re.M):
                        break
                    time.sleep(0.2)
                with open(metrics) as written:
                    check = subprocess.run(["promtool", "check", "metrics"], stdin=written,
                                           capture_output=True, text=True)
                self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""))
            finally:
                running.send(signal.SIGINT)
                result = running.finish()
                running.kill()
                exporter.terminate()
                exporter.wait(timeout=10)
            self.assertEqual(os.listdir(folder), ["quilvane.prom"])
        self.assertIn("Ping statistics for multiple hosts", result.out)
        self.assertRegex(scraped, r"(?m)^node_textfile_scrape_error 0$")
        for host in hosts:
            labels = 'address="%s",host="%s"' % (host, host)
            for series in ("quilvane_requests_total", "quilvane_replies_total", "quilvane_up",
                           "quilvane_rtt_seconds_count", "quilvane_last_rtt_seconds"):
                self.assertIn("%s{%s}" % (series, labels), scraped, series)
        self.assertIn('quilvane_up{address="%s",host="%s"} 0' % (silent, silent), scraped)
        self.assertIn('quilvane_up{address="198.18.2.1",host="198.18.2.1"} 1', scraped)
        self.assertRegex(scraped, r'quilvane_rtt_seconds_bucket\{address="198.18.2.1",'
                                  r'host="198.18.2.1",le="\+Inf"\} [1-9]')


if __name__ == "__main__":
    labsupport.main()

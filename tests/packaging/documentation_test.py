#!/usr/bin/env python3
"""Keeps the manual page, the bash completion and the README in step with the program's own
usage text: every option it lists is documented, offered and quoted, and nothing else is."""

import re
import subprocess
import sys
import unittest

BINARY, MAN_PAGE, COMPLETION, README = sys.argv[1:5]


def usage_text():
    result = subprocess.run([BINARY, "-?"], capture_output=True, text=True, timeout=30)
    return result.returncode, result.stderr


def usage_letters(text):
    """The letters of the usage text's option list; -? itself is not in that list."""
    return {match.group(1) for match in re.finditer(r"^\t-(.) :", text, re.MULTILINE)}


def usage_long_options(text):
    """The long options of the usage text's list, by name (--help, --version among them)."""
    return {match.group(1) for match in re.finditer(r"^\t--([a-z-]+)\b", text, re.MULTILINE)}


# The quick start line of README: it must build the program and ping with it.
QUICK_START = ("tools/install-dependencies --build-only && cmake -S . -B build -G Ninja"
               " -DQUILVANE_TESTS=OFF && cmake --build build && ./build/quilvane 127.0.0.1")


class UsageText(unittest.TestCase):
    def test_usage_lists_the_options(self):
        status, text = usage_text()
        self.assertEqual(status, 255)
        self.assertEqual(len(usage_letters(text)), 24, text)
        self.assertTrue({"help", "version", "rate", "retries", "summary", "alive", "json",
                         "metrics"} <= usage_long_options(text), text)


class HelpAndVersion(unittest.TestCase):
    def test_help_prints_the_usage_text_to_standard_output_wherever_it_stands(self):
        _, text = usage_text()
        for arguments in (["--help"], ["192.0.2.1", "-n", "2", "-x", "--help", "-L"]):
            with self.subTest(arguments=arguments):
                result = subprocess.run([BINARY] + arguments, capture_output=True, text=True,
                                        timeout=30)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, text, ""))

    def test_version_prints_the_banners_version_line(self):
        for arguments in (["--version"], ["-?", "--version", "--help"]):
            with self.subTest(arguments=arguments):
                result = subprocess.run([BINARY] + arguments, capture_output=True, text=True,
                                        timeout=30)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (0, "Quilvane version 2.18\n", ""))


class ManualPage(unittest.TestCase):
    def option_entries(self):
        """The option letters that head a tagged paragraph (.TP) of the page."""
        with open(MAN_PAGE, encoding="utf-8") as page:
            lines = page.read().splitlines()
        letters = set()
        for previous, line in zip(lines, lines[1:]):
            match = re.match(r"\.(?:B|BI|BR) \\-([^\\])", line)
            if previous == ".TP" and match:
                letters.add(match.group(1))
        return letters

    def long_option_entries(self):
        """The long options that head a tagged paragraph (.TP) of the page."""
        with open(MAN_PAGE, encoding="utf-8") as page:
            lines = page.read().splitlines()
        return {match.group(1) for previous, line in zip(lines, lines[1:])
                for match in [re.match(r"\.(?:B|BI|BR) \\-\\-([a-z-]+)", line)]
                if previous == ".TP" and match}

    def test_every_option_has_an_entry(self):
        _, text = usage_text()
        self.assertEqual(self.option_entries(), usage_letters(text) | {"?"})
        self.assertEqual(self.long_option_entries(), usage_long_options(text))

    def test_synopsis_names_every_option(self):
        with open(MAN_PAGE, encoding="utf-8") as page:
            synopsis = page.read().split(".SH SYNOPSIS", 1)[1].split(".SH", 1)[0]
        long_named = set(re.findall(r"\\-\\-([a-z-]+)", synopsis))
        named = set(re.findall(r"\\-(.)", re.sub(r"\\-\\-[a-z-]+", "", synopsis)))
        _, text = usage_text()
        self.assertEqual(named - {" "}, usage_letters(text) | {"?"})
        self.assertEqual(long_named, usage_long_options(text))


class Completion(unittest.TestCase):
    def test_offers_every_option(self):
        script = (
            'source "$1"; COMP_WORDS=(quilvane host -); COMP_CWORD=2; _quilvane; '
            'printf "%s\\n" "${COMPREPLY[@]}"'
        )
        result = subprocess.run(
            ["bash", "--norc", "--noprofile", "-c", script, "bash", COMPLETION],
            capture_output=True, text=True, timeout=30, check=True)
        offered = set(result.stdout.split())
        _, text = usage_text()
        self.assertEqual(offered, {"-" + letter for letter in usage_letters(text) | {"?", "b-"}}
                         | {"--" + name for name in usage_long_options(text)})


class Readme(unittest.TestCase):
    def test_quotes_the_usage_text_as_printed(self):
        _, text = usage_text()
        # The README shows the text as a terminal does: tabs expanded, trailing blanks dropped.
        wanted = [line.expandtabs(8).rstrip() for line in text.rstrip("\n").splitlines()]
        with open(README, encoding="utf-8") as readme:
            lines = [line.rstrip() for line in readme.read().splitlines()]
        starts = [i for i, line in enumerate(lines) if line == wanted[0]]
        self.assertTrue(
            any(lines[i:i + len(wanted)] == wanted for i in starts),
            "README.md does not quote the usage text:\n" + "\n".join(wanted))

    def test_keeps_the_quick_start_commands(self):
        with open(README, encoding="utf-8") as readme:
            text = readme.read()
        quick_start = text.split("## Quick start", 1)[1].split("\n## ", 1)[0]
        # The first builds the program alone (tests/packaging/quick_start_test.py runs it), the
        # second runs the whole suite.
        self.assertIn("    " + QUICK_START + "\n", quick_start)
        self.assertIn("    tools/run-tests\n", quick_start)

    def test_names_every_option_of_the_usage_text(self):
        _, text = usage_text()
        with open(README, encoding="utf-8") as readme:
            prose = readme.read().replace(text.split("Options:", 1)[1].expandtabs(8), "")
        for name in usage_long_options(text):
            with self.subTest(option="--" + name):
                # Outside the quoted usage text, in the prose that explains it.
                self.assertRegex(prose, r"`--%s\b" % re.escape(name))

    def test_each_build_folder_keeps_one_generator(self):
        # Followed top to bottom, a folder configured again with another generator fails.
        with open(README, encoding="utf-8") as readme:
            text = readme.read()
        generators = {}
        for match in re.finditer(r"cmake -S \S+ -B (\S+)([^\n&]*)", text):
            folder, rest = match.groups()
            generator = re.search(r"-G (\S+)", rest)
            generator = generator.group(1) if generator else "default"
            with self.subTest(folder=folder):
                self.assertEqual(generators.setdefault(folder, generator), generator)

    def test_has_the_exit_codes(self):
        with open(README, encoding="utf-8") as readme:
            text = readme.read()
        for status in ("0", "1", "2", "3", "4", "5", "255"):
            self.assertRegex(text, r"(?m)^\| " + status + r" +\|")

    def test_has_the_sections_a_newcomer_needs(self):
        with open(README, encoding="utf-8") as readme:
            headings = set(re.findall(r"(?m)^## (.+)$", readme.read()))
        for heading in ("Quick start", "Privileges", "Coming from iputils ping",
                        "Reading the output", "Messages in another platform's words",
                        "Exit codes"):
            self.assertIn(heading, headings)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=2)

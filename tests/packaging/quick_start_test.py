#!/usr/bin/env python3
"""Runs README's Quick start line as a newcomer would: in a fresh copy of the sources, in a clean
environment (env -i), as root, in a network namespace of its own with loopback only. It must build
the program and get a reply from 127.0.0.1. Skips (77) when not root or without namespaces."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

SOURCE = sys.argv[1]
SKIPPED = 77


def quick_start_line():
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as readme:
        section = readme.read().split("## Quick start", 1)[1].split("\n## ", 1)[0]
    # The first indented line that installs: the one-line way from nothing to a first ping.
    match = re.search(r"(?m)^    (tools/install-dependencies.*)$", section)
    if not match:
        sys.exit("README's Quick start has no line that starts with tools/install-dependencies")
    return match.group(1)


def copy_sources(target):
    """The files a fresh clone has: those git tracks, or else the tree without build folders."""
    listed = subprocess.run(["git", "-C", SOURCE, "ls-files", "-z"], capture_output=True)
    if listed.returncode == 0 and listed.stdout:
        for name in listed.stdout.decode().split("\0"):
            if not name or not os.path.lexists(os.path.join(SOURCE, name)):
                continue
            os.makedirs(os.path.join(target, os.path.dirname(name)), exist_ok=True)
            shutil.copy2(os.path.join(SOURCE, name), os.path.join(target, name),
                         follow_symlinks=False)
    else:
        shutil.copytree(SOURCE, target, dirs_exist_ok=True, symlinks=True,
                        ignore=shutil.ignore_patterns("build*", ".git", "out"))


def main():
    line = quick_start_line()
    if os.geteuid() != 0:
        print("SKIP: the quick start line is for root")
        return SKIPPED
    if subprocess.run(["unshare", "--net", "true"], capture_output=True).returncode != 0:
        print("SKIP: no network namespace can be made here")
        return SKIPPED
    work = tempfile.mkdtemp(prefix="quilvane-quick-start-")
    try:
        sources = os.path.join(work, "quilvane")
        copy_sources(sources)
        # Loopback only: the ping never leaves this namespace.
        script = "ip link set lo up && cd \"$0\" && " + line
        environment = ["env", "-i", "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                       "HOME=" + work]
        result = subprocess.run(["unshare", "--net"] + environment + ["sh", "-c", script, sources],
                                capture_output=True, text=True, timeout=1500)
        print(result.stdout[-3000:])
        print(result.stderr[-3000:], file=sys.stderr)
        if result.returncode != 0:
            print("FAIL: the quick start line ended with %d" % result.returncode)
            return 1
        if not re.search(r"(?m)^Reply\[1\] from 127\.0\.0\.1: bytes=32 ", result.stdout):
            print("FAIL: the quick start line did not get a reply from 127.0.0.1")
            return 1
        print("the quick start line builds the program and pings 127.0.0.1")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

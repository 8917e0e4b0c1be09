#!/usr/bin/env python3
"""Runs the black-box suite against one build of the service.

    blackbox.py --program build/linux/tarvik --register build/linux/tarvik-register \
                --crash-probe build/linux/crash-probe [--wine] [-k PATTERN]

With --wine the programs are Windows executables and are started under Wine in
a private prefix that this runner creates and removes.
"""
import argparse
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "blackbox"))

import harness  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--register", required=True)
    parser.add_argument("--crash-probe", required=True)
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("-k", dest="pattern", action="append", default=[],
                        help="only tests whose id contains this text")
    args = parser.parse_args()

    harness.configure(program=args.program, register=args.register,
                      crash_probe=args.crash_probe, wine=args.wine)
    try:
        loader = unittest.TestLoader()
        if args.pattern:
            loader.testNamePatterns = ["*%s*" % p for p in args.pattern]
        suite = loader.discover(os.path.join(HERE, "blackbox"), pattern="test_*.py",
                                top_level_dir=os.path.join(HERE, "blackbox"))
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        harness.teardown()
    failed = len(result.failures) + len(result.errors)
    passed = result.testsRun - failed - len(result.skipped)
    print("%s: %d passed, %d failed, %d skipped"
          % ("wine" if args.wine else "linux", passed, failed, len(result.skipped)))
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())

"""main.conf as the real program judges it: `tarvik check`, the starts that a
file refuses (a secret others may read, a line too long, a max-names that does
not parse) and what they leave alone, and where the log's records go (the
journal's priorities on Linux, the Event Log under Wine)."""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import harness
from harness import ServiceTest

DATA_FOLDER = "C:\\ProgramData\\Quellard\\Tarvik" if harness.WINE else "/etc/tarvik"
SEP = "\\" if harness.WINE else "/"
READABLE = ("readable by users who are not administrators" if harness.WINE
            else "readable by group or others")


def fix_command(path):
    if harness.WINE:
        return 'icacls "%s" /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F' % path
    return "chmod 600 " + path


def run(argv, cwd, env=None, timeout=60):
    done = subprocess.run(argv, cwd=cwd, env=harness.run_env(env), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    return done.returncode, harness.text_of(done.stdout), harness.text_of(done.stderr)


class Check(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tarvik-check-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)

    def check(self, content, mode=0o600, *args):
        conf = os.path.join(self.folder, "main.conf")
        with open(conf, "w") as f:
            f.write(content)
        os.chmod(conf, mode)
        return run(harness.command(harness.PROGRAM, "check", *args), cwd=self.folder)

    def test_each_problem_with_its_line_and_the_exit_code(self):
        cases = [  # content, mode, lines printed, exit code
            ("port 5001\npwd s3cret\n# comment\n", 0o600, ["main.conf: no problems"], 0),
            ("pwd s3cret\ndns-port 5x3\nallow_from 10.9.9.9\n", 0o600,
             ["main.conf:2: '5x3' is not a port number",
              "main.conf:3: allow_from: unknown key, did you mean allow-from?",
              "main.conf: 2 problems"], 1),
            ("pwd s3cret\n", 0o644,
             ["main.conf: refused, it holds pwd or update-key and is %s; to fix: %s"
              % (READABLE, fix_command("main.conf")),
              "main.conf: the service would not start with this file"], 1),
        ]
        for content, mode, lines, code in cases:
            with self.subTest(content=content, mode=oct(mode)):
                self.assertEqual(self.check(content, mode, "main.conf"), (code, "\n".join(lines) + "\n", ""))

    def test_without_a_file_the_one_the_service_would_read(self):
        if not harness.WINE and os.path.exists("/etc/tarvik/main.conf"):
            self.skipTest("this machine has an /etc/tarvik/main.conf")
        code, out, err = self.check("port 0\n")
        self.assertEqual((code, err), (1, ""))
        self.assertEqual(out, DATA_FOLDER + SEP + "main.conf: No such file or directory\n"
                              "./main.conf:1: '0' is not a port number\n./main.conf: 1 problem\n")
        code, out, err = run(harness.command(harness.PROGRAM, "check", "a", "b"), cwd=self.folder)
        self.assertEqual((code, out), (1, ""))
        self.assertTrue(err.startswith("Usage: "), err)


class RefusedStarts(ServiceTest):
    def refused_start(self, svc):
        """Starts `svc`, which must not start; returns its stderr."""
        svc.start(wait=False)
        svc.wait(timeout=harness.START_TIMEOUT)
        err = svc.stderr()
        self.assertNotIn("Started 1.0b", err)
        self.assertIn("service_start() failed", err)
        return err

    def test_main_conf_with_a_secret_others_may_read(self):
        for line in ("pwd s3cret", "update-key k hmac-sha256 c2VjcmV0"):
            with self.subTest(line=line):
                svc = self.service(conf=line + "\n", start=False)
                os.chmod(os.path.join(svc.folder, "main.conf"), 0o644)
                err = self.refused_start(svc)
                self.assertIn("./main.conf: refused, it holds pwd or update-key and is %s; to fix: %s\n"
                              % (READABLE, fix_command("./main.conf")), err)
                self.assertNotIn("s3cret", err)
                self.assertNotIn("c2VjcmV0", err)

    def test_max_names_that_does_not_parse_leaves_the_block_whole(self):
        nl = self.hosts_nl().decode()
        block = "".join("10.7.0.%d\tdev%d%s" % (i, i, nl) for i in range(1, 31))
        hosts = ("127.0.0.1 localhost%s#tarvik-begin%s%s#tarvik-end%s" % (nl, nl, block, nl)).encode()
        for value in ("1000010", "10k", "0"):
            with self.subTest(value=value):
                svc = self.service(conf="max-names %s\n" % value, hosts=hosts, start=False)
                err = self.refused_start(svc)
                self.assertIn("./main.conf:4: '%s' is not a number from 1 to 1000000, so the file is "
                              "not used\n" % value, err)
                self.assertEqual(svc.hosts(), hosts)

    def test_allow_from_fails_closed(self):
        listed = " ".join("10.1.%d.1" % i for i in range(121))  # 1,231 bytes with the key
        cases = [  # allow-from value, started, a registration from 127.0.0.1 answered
            (listed, True, False),
            (listed + " 127.0.0.1", True, True),
            (listed + " 127.0.0.1" + " " * 65536, False, False),
        ]
        for value, started, answered in cases:
            with self.subTest(length=len(value), answered=answered):
                svc = self.service(conf="allow-from %s\n" % value, start=False)
                if not started:
                    err = self.refused_start(svc)
                    self.assertIn("./main.conf:4: 'allow-from ...' is longer than 65536 bytes, so the "
                                  "file is not used\n", err)
                    continue
                svc.start()
                self.assertEqual(svc.register("meter1", "10.1.0.9", timeout=1.0) is not None, answered)
                self.assertEqual(svc.stop(), 0)


class LogRecords(ServiceTest):
    CONF = "port 0\nallow_from 10.0.0.1\n"

    def test_records_on_a_journal_stream_carry_their_priority(self):
        if harness.WINE:
            self.skipTest("the journal: Linux only")
        # JOURNAL_STREAM as systemd sets it: the device and inode of the stream
        # that stderr is; and once naming another stream.
        for stream in ("$(stat -L -c %d:%i /proc/self/fd/2)", "1:1"):
            with self.subTest(stream=stream):
                svc = self.service(conf=self.CONF, start=False)
                svc.start(wrapper=["sh", "-c", 'export JOURNAL_STREAM=%s; exec "$@"' % stream, "sh"])
                self.assertEqual(svc.stop(), 0)
                lines = svc.stderr().splitlines()
                if stream == "1:1":
                    self.assertFalse([line for line in lines if line.startswith("<")], lines)
                    self.assertTrue([line for line in lines if re.match(
                        r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Started 1\.0b$", line)], lines)
                    continue
                self.assertIn("<3>./main.conf:4: '0' is not a port number", lines)
                self.assertIn("<4>./main.conf:5: allow_from: unknown key, did you mean allow-from?", lines)
                self.assertIn("<6>Started 1.0b", lines)
                self.assertIn("<6>Stopped", lines)
                self.assertTrue(all(re.match(r"<[346]>\S", line) for line in lines), lines)
                # The log file keeps its own format.
                self.assertRegex(svc.log(), r"\d\d:\d\d\.\d{3} \./main\.conf:4: '0' is not a port number\r\n")

    def test_error_records_reach_the_event_log_within_the_flood_limit(self):
        if not harness.WINE:
            self.skipTest("the Event Log: Windows only")
        svc = self.service(conf=self.CONF, start=False)
        svc.start(env={"WINEDEBUG": "-all,+eventlog"})
        # A flood of one error: each refused registration is logged, but the
        # Event Log gets no more than the flood limit of them in a second.
        for _ in range(60):
            harness.send(svc.port, harness.registration("localhost", "10.1.2.3"))
        self.assertTrue(harness.wait_for(lambda: svc.log().count("localhost: name refused") == 60, 20),
                        svc.log()[-2000:])
        self.assertEqual(svc.stop(), 0)
        events = [line for line in svc.stderr().splitlines() if "err:eventlog:ReportEventW" in line]
        self.assertTrue([e for e in events
                         if e.endswith('err:eventlog:ReportEventW L"./main.conf:4: \'0\' is not a port number"')],
                        events)
        self.assertFalse([e for e in events if "allow_from" in e or "Started" in e], events)  # errors only
        refused = [e for e in events if "localhost: name refused" in e]
        self.assertGreaterEqual(len(refused), 10)
        self.assertLessEqual(len(refused), 20, "more than two seconds' worth")  # 60 sent at once

    def test_event_message_is_the_record_itself(self):
        if not harness.WINE:
            self.skipTest("the exe's message table: Windows only")
        probe = os.path.join(os.path.dirname(harness.PROGRAM), "message-probe.exe")
        code, out, _ = run(harness.command(probe, harness.native_path(harness.PROGRAM), "C0020002",
                                           "./main.conf:4: '0' is not a port number"), cwd=tempfile.gettempdir())
        self.assertEqual((code, out), (0, "[./main.conf:4: '0' is not a port number]\n"))


if __name__ == "__main__":
    unittest.main()

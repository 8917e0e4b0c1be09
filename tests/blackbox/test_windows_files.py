"""How the Windows exe meets files other programs hold or protect, under Wine:
a log viewer that holds `log` open, a read-only hosts file. A probe (file-probe)
does what Python on Linux cannot: open a file without delete sharing."""
import os
import re
import subprocess
import unittest

import harness
from harness import ServiceTest

ROTATE_SIZE = 1000000  # the log is renamed to log.1 once it is larger


def file_probe():
    return os.path.join(os.path.dirname(harness.PROGRAM), "file-probe.exe")


@unittest.skipUnless(harness.WINE, "Windows sharing modes and attributes")
class HeldAndProtectedFiles(ServiceTest):
    def hold(self, svc, path):
        """Starts a process that holds `path` open without delete sharing;
        closing its stdin (the returned process's) lets it go. It gets the
        service's TMPDIR: Wine keeps its server's socket under TMPDIR, and
        with another one the two would run under two servers that know
        nothing of each other's open files."""
        self.assertTrue(os.path.exists(file_probe()), file_probe())
        holder = subprocess.Popen(harness.command(file_probe(), "hold", harness.native_path(path)),
                                  env=harness.run_env({"TMPDIR": svc.tmp_folder}), stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(holder.kill)
        self.assertEqual(holder.stdout.readline().strip(), b"held")
        return holder

    def test_rotation_while_a_viewer_holds_the_log_keeps_both_generations(self):
        svc = self.service(start=False)
        full = b"x" * (ROTATE_SIZE + 1)
        with open(svc.log_path, "wb") as f:
            f.write(full)
        with open(svc.log_path + ".1", "wb") as f:
            f.write(b"previous generation\r\n")
        holder = self.hold(svc, svc.log_path)
        svc.start()
        # The rename fails while the viewer holds the file: log.1 is kept,
        # log goes on taking records after its old content, and that is
        # said once.
        with open(svc.log_path + ".1", "rb") as f:
            self.assertEqual(f.read(), b"previous generation\r\n")
        log = svc.log().encode("latin-1")
        self.assertTrue(log.startswith(full))
        messages = svc.log_messages()
        refusals = [m for m in messages if "cannot be renamed to log.1" in m]
        self.assertEqual(refusals, [harness.native_path(svc.log_path) + ": cannot be renamed to log.1: "
                                    "Permission denied"], messages)
        self.assertIn("Started 1.0b", svc.log())
        # Let go, the next record rotates: the full log becomes log.1.
        holder.stdin.close()
        holder.wait(timeout=30)
        self.assertIsNotNone(svc.register("meter1", "192.168.1.20"))
        self.assertTrue(svc.wait_log("meter1 192.168.1.20"), svc.log())
        with open(svc.log_path + ".1", "rb") as f:
            self.assertTrue(f.read().startswith(full))
        self.assertLess(len(svc.log()), ROTATE_SIZE)
        self.assertEqual(svc.stop(), 0)

    def test_hosts_file_held_by_another_program_fails_with_the_systems_words(self):
        svc = self.service(start=False, hosts=b"127.0.0.1 localhost\r\n")
        holder = self.hold(svc, svc.hosts_path)
        svc.start()
        self.assertIsNotNone(svc.register("meter1", "192.168.1.20"))
        # The rename over a file open without delete sharing is refused
        # with ERROR_ACCESS_DENIED; the line keeps its number and adds the
        # system's words (not the "error N" of a number without any).
        self.assertTrue(svc.wait_log("Update error 5"), svc.log())
        line = [m for m in svc.log_messages() if "Update error" in m][0]
        self.assertRegex(line, "^" + re.escape(harness.native_path(svc.hosts_path)) +
                         r": Update error 5: [A-Z][a-z]+( [a-z]+)*$")
        print("\n  [wine] %s" % line, end=" ")
        self.assertEqual(svc.hosts(), b"127.0.0.1 localhost\r\n")
        # Let go, the retry writes the block.
        holder.stdin.close()
        holder.wait(timeout=30)
        self.assertTrue(harness.wait_for(lambda: b"192.168.1.20\tmeter1\r\n" in svc.hosts(), 10.0),
                        svc.log())
        self.assertEqual(svc.stop(), 0)

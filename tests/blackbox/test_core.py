"""Start-up, the console stop and the start-up failures of the service."""
import os
import socket
import time
import unittest

import harness
from harness import ServiceTest

DATA_FOLDER = ("C:\\ProgramData\\Quellard\\Tarvik" if harness.WINE
               else "/etc/tarvik")
SEP = "\\" if harness.WINE else "/"


class StartAndStop(ServiceTest):
    def test_starts_logs_and_stops_on_ctrl_c(self):
        svc = self.service()
        self.assertIn("Started 1.0b", svc.stderr())
        self.assertTrue(svc.wait_log("Started 1.0b"))
        # The record format: "YYYY-MM-DD hh:mm:ss.mmm message" ending in CR LF.
        first = svc.log().split("\r\n")[0]
        self.assertRegex(first, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ")

        sent = time.monotonic()
        code = svc.stop()
        elapsed = time.monotonic() - sent
        self.assertEqual(code, 0)
        self.assertIn("Stopped", svc.log_messages())
        # The stop is noticed within one 500 ms wait; leave room for a slow machine.
        self.assertLess(elapsed, 3.0 if harness.WINE else 1.5)

    def test_data_folder_is_tried_before_the_fallback(self):
        svc = self.service()
        self.assertIn(DATA_FOLDER + SEP + "main.conf: No such file or directory", svc.stderr())
        svc.stop()

    def test_registration_socket_is_served(self):
        svc = self.service()
        reply = svc.register("probe", "10.1.2.3")
        self.assertIsNotNone(reply)
        self.assertTrue(reply.startswith(b"tarvik1 ack "))
        svc.stop()


class StartFailures(ServiceTest):
    def test_no_configuration_anywhere(self):
        svc = self.service(start=False, write_conf=False)
        svc.start(wait=False)
        self.assertEqual(svc.wait(), 0)
        err = svc.stderr()
        self.assertEqual(err.count("main.conf: No such file or directory"), 2)
        self.assertIn("./main.conf: No such file or directory", err)
        self.assertIn("service_start() failed", err)
        self.assertNotIn("Started 1.0b", err)
        # The log stays in the data folder, which does not exist: every record
        # reaches the console, followed by the reason the file could not open.
        self.assertIn(DATA_FOLDER + SEP + "log: No such file or directory", err)
        self.assertFalse(os.path.exists(svc.log_path))

    def test_main_conf_that_is_a_folder_or_fifo_is_not_read(self):
        for kind in ("folder", "fifo"):
            with self.subTest(kind=kind):
                svc = self.service(start=False, write_conf=False)
                conf = os.path.join(svc.folder, "main.conf")
                if kind == "folder":
                    os.mkdir(conf)
                elif harness.WINE:
                    continue  # a FIFO has no Windows form
                else:
                    os.mkfifo(conf)
                svc.start(wait=False)
                # A FIFO without a writer must not hold the start.
                self.assertEqual(svc.wait(timeout=20), 0)
                err = svc.stderr()
                self.assertIn("./main.conf: not a regular file", err)
                self.assertIn("service_start() failed", err)
                self.assertNotIn("Started 1.0b", err)

    def test_main_conf_others_could_write_is_refused(self):
        # Wine shows a Linux file's mode and owner as its DACL and owner: write
        # for others becomes an ACE granting Everyone write, a file of another
        # user is owned by Anonymous; so the Windows check meets them too.
        writable = ("writable by users who are not administrators" if harness.WINE
                    else "writable by group or others")
        for kind in (writable, "owned by another user"):
            if kind.startswith("owned") and os.geteuid() != 0:
                continue  # only root can give a file away
            with self.subTest(kind=kind):
                svc = self.service(start=False)
                conf = os.path.join(svc.folder, "main.conf")
                if kind.startswith("writable"):
                    os.chmod(conf, 0o666)
                else:
                    os.chown(conf, 65534, 65534)
                svc.start(wait=False)
                self.assertEqual(svc.wait(timeout=20), 0)
                err = svc.stderr()
                self.assertIn("./main.conf: refused, it is " + kind, err)
                self.assertIn("service_start() failed", err)
                self.assertNotIn("Started 1.0b", err)

    def test_registration_port_taken(self):
        svc = self.service(start=False)
        messages = self.start_with_registration_port_taken(svc)
        self.assertNotIn("Started 1.0b", messages)

    def test_dns_port_taken_disables_dns_only(self):
        dns_port = harness.free_udp_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as blocker:
            blocker.bind(("0.0.0.0", dns_port))
            svc = self.service(dns_port=dns_port)
        messages = svc.log_messages()
        self.assertIn("DNS server will be disabled", messages)
        self.assertIsNotNone(svc.register("probe", "10.1.2.3"))
        self.assertEqual(svc.stop(), 0)

    def test_configuration_errors_are_logged_with_file_line_and_reason(self):
        svc = self.service(conf="port 0\r\ndns-port 65536\r\n", start=True)
        messages = svc.log_messages()
        self.assertIn("./main.conf:4: '0' is not a port number", messages)
        self.assertIn("./main.conf:5: '65536' is not a port number", messages)
        svc.stop()


if __name__ == "__main__":
    unittest.main()

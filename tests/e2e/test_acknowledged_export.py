"""Exports a client asks to acknowledge ("X-Ostrivan-Ack: required"): the job stays held
after its reply until POST /ostrivan/ack/<id>, through a kill and a restart, and goes
back whole when no acknowledgement comes in time. Clients that do not ask see nothing
change, and ostrivan-client asks."""
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from ostrivan_e2e import (CLIENT, EXPORT, Server, export_body, header, job_request, journal_lines, make_job,
                          read_reply, read_tree, request_bytes, split_reply, stream_entries, wait_until)

ACK_ASKED = (("X-Ostrivan-Ack", "required"),)


def exchange(port, request, family=socket.AF_INET, host="127.0.0.1"):
    """(status line, header lines, body) of one request; the client reads the whole reply
    and closes in order."""
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(30)
        s.connect((host, port))
        s.sendall(request)
        head, body = read_reply(s)
    status, lines, _ = split_reply(head + b"\r\n\r\n")
    return status, lines, body


def export(port, headers=ACK_ASKED, **kw):
    status, lines, body = exchange(port, job_request(EXPORT, export_body(), headers), **kw)
    return status, header(lines, "X-Ostrivan-Job"), json.loads(body)


def acknowledge(port, job_id, **kw):
    status, _, body = exchange(port, request_bytes("POST", "/ostrivan/ack/" + job_id,
                                                   (("Content-Length", "0"),)), **kw)
    return int(status.split()[1]), json.loads(body) if body.startswith(b"{") else body


class AcknowledgedExport(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="ostrivan-ack-")
        self.workdir = os.path.join(self.base, "service")
        os.makedirs(self.workdir)
        self.job = os.path.join(self.base, "export")
        make_job(self.job, "small")
        self.files = read_tree(self.job)
        self.servers = []

    def tearDown(self):
        for srv in self.servers:
            srv.cleanup()
        shutil.rmtree(self.base, ignore_errors=True)

    def server(self, **ini):
        srv = Server(workdir=self.workdir, ini={"ExportLavoroDir": self.job, **ini}, service=True)
        self.servers.append(srv)
        return srv.start()

    def outcomes(self, srv):
        return [line.split('outcome="')[1].split('"')[0] for line in journal_lines(srv) if " export " in line]

    def held(self):
        return [n for n in os.listdir(os.path.join(self.workdir, "held")) if n.endswith(".hold")]

    def sent(self):
        folder = os.path.join(self.workdir, "sent")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def test_the_job_stays_held_until_acknowledged_and_goes_once(self):
        srv = self.server()
        try:
            status, job_id, reply = export(srv.port)
            self.assertIn(" 200 ", status)
            self.assertFalse(reply["Errore"], reply["Messaggio"])
            self.assertEqual(stream_entries(reply), self.files)
            self.assertTrue(job_id)
            # Delivered, yet held: the folder looks emptied, nothing is kept in sent/.
            self.assertEqual(read_tree(self.job), {})
            self.assertEqual(len(self.held()), 1)
            self.assertEqual(self.sent(), [])
            self.assertEqual(self.outcomes(srv), [])
            self.assertEqual(acknowledge(srv.port, job_id), (200, {"job": job_id, "acknowledged": True}))
            self.assertEqual(self.outcomes(srv), ["delivered"])
            self.assertEqual(self.held(), [])
            self.assertEqual(len(self.sent()), 1)
            # A second acknowledgement, or one of no such job, changes nothing.
            for other in (job_id, "20990101-000000.000-1-1", "..%2F..%2Fsent"):
                code, body = acknowledge(srv.port, other)
                self.assertEqual(code, 404)
                self.assertFalse(body["acknowledged"])
            self.assertEqual(self.outcomes(srv), ["delivered"])
            self.assertEqual(read_tree(self.job), {})
        finally:
            srv.stop()

    def test_a_kill_between_reply_and_acknowledgement_still_delivers_once(self):
        srv = self.server()
        status, job_id, reply = export(srv.port)
        self.assertFalse(reply["Errore"], reply["Messaggio"])
        srv.proc.send_signal(signal.SIGKILL)
        srv.proc.wait()
        srv = self.server()
        try:
            # The restart keeps the job held: the client may have it.
            srv.wait_log("waits for its acknowledgement")
            self.assertEqual(read_tree(self.job), {})
            self.assertTrue(export(srv.port, headers=())[2]["Errore"])  # nothing waits
            self.assertEqual(acknowledge(srv.port, job_id)[0], 200)
            self.assertEqual(self.outcomes(srv).count("delivered"), 1)
            self.assertEqual(read_tree(self.job), {})
            self.assertEqual(self.held(), [])
            self.assertEqual(len(self.sent()), 1)
        finally:
            srv.stop()

    def test_no_acknowledgement_in_time_puts_the_job_back_whole(self):
        srv = self.server(AttesaConferma=1)
        try:
            _, job_id, reply = export(srv.port)
            self.assertFalse(reply["Errore"], reply["Messaggio"])
            wait_until(lambda: read_tree(self.job) == self.files, timeout=30, what="the job to come back")
            wait_until(lambda: self.outcomes(srv) == ["restored after unacknowledged reply"], what="the journal")
            self.assertEqual(acknowledge(srv.port, job_id)[0], 404)
            # The same when the wait runs out while the service is down.
            _, job_id, reply = export(srv.port)
            self.assertFalse(reply["Errore"], reply["Messaggio"])
            srv.proc.send_signal(signal.SIGKILL)
            srv.proc.wait()
            self.assertEqual(len(self.held()), 1)
            time.sleep(1.2)  # the wait of 1 s runs out while nothing runs
            srv = self.server(AttesaConferma=1)
            self.assertEqual(read_tree(self.job), self.files)
            self.assertEqual(self.outcomes(srv)[-1], "restored after unacknowledged reply")
            self.assertEqual(self.held(), [])
        finally:
            srv.stop()

    def test_a_client_that_does_not_ask_sees_nothing_change(self):
        srv = self.server()
        try:
            status, job_id, reply = export(srv.port, headers=())
            self.assertFalse(reply["Errore"], reply["Messaggio"])
            self.assertIsNone(job_id)
            wait_until(lambda: self.outcomes(srv) == ["delivered"], what="the journal")
            self.assertEqual(self.held(), [])
            # Asked for, but the export failed: nothing to acknowledge, no id.
            status, job_id, reply = export(srv.port)
            self.assertTrue(reply["Errore"])
            self.assertIsNone(job_id)
        finally:
            srv.stop()

    def test_only_callers_the_job_routes_admit_may_acknowledge(self):
        srv = self.server(ClientAmmessi="::1")
        try:
            _, job_id, reply = export(srv.port, family=socket.AF_INET6, host="::1")
            self.assertFalse(reply["Errore"], reply["Messaggio"])
            code, _ = acknowledge(srv.port, job_id)  # 127.0.0.1 is not on the list
            self.assertEqual(code, 403)
            self.assertEqual(len(self.held()), 1)
            self.assertEqual(acknowledge(srv.port, job_id, family=socket.AF_INET6, host="::1")[0], 200)
            self.assertEqual(self.held(), [])
        finally:
            srv.stop()

    def test_ostrivan_client_acknowledges_once_the_job_is_on_its_disk(self):
        srv = self.server()
        try:
            target = os.path.join(self.base, "fetched")
            run = subprocess.run([CLIENT, "export", "--server", f"http://127.0.0.1:{srv.port}", "--to", target],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(read_tree(target), self.files)
            # Acknowledged before the client ended: settled, nothing held.
            self.assertEqual(self.held(), [])
            self.assertEqual(self.outcomes(srv), ["delivered"])
            self.assertEqual(len(self.sent()), 1)
        finally:
            srv.stop()


if __name__ == "__main__":
    unittest.main()

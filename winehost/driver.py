"""The protocol of the helpers that run inside Wine. The wintest driver serves a whole run from
one process: a command a line in, JSON lines and END out, with what Wine wrote to stderr
meanwhile (where the traces go). The stand-in client leaves a JSON record of how it was started
in its folder. Texts cross as hex: UTF-16 on the way in, UTF-8 on the way out."""

import json
import os
import select
import subprocess
import tempfile
import time


def hex_text(text):
    return text.encode("utf-16-le", "surrogatepass").hex()


def text(hex_digits):
    return bytes.fromhex(hex_digits).decode("utf-8")


class Driver:
    def __init__(self, command, env):
        self.err = tempfile.TemporaryFile()
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err)

    def ask(self, *args, on_event=None, timeout=600):
        """One command: its JSON lines (on_event sees each as it comes) and the stderr meanwhile."""
        start = os.fstat(self.err.fileno()).st_size
        self.process.stdin.write((" ".join(args) + "\n").encode())
        self.process.stdin.flush()
        deadline, events, pending = time.monotonic() + timeout, [], b""
        while True:
            if not select.select([self.process.stdout], [], [], max(0.0, deadline - time.monotonic()))[0]:
                raise TimeoutError(f"waited {timeout} s for the Wine driver to finish {args[0]}")
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                raise RuntimeError(f"wintest ended during {args[0]}")
            *lines, pending = (pending + chunk).split(b"\n")
            # The console programs it starts may write to its output too.
            for line in lines:
                if line == b"END":
                    size = os.fstat(self.err.fileno()).st_size
                    return events, os.pread(self.err.fileno(), size - start, start).decode("utf-8", "replace")
                if line.startswith(b"{"):
                    events.append(json.loads(line))
                    if on_event:
                        on_event(events[-1])

    def kill(self):
        self.process.kill()
        self.process.wait()


def client_records(*folders, expected, timeout=30.0):
    """The stand-in client's records in the folders, once `expected` of them exist, each taken
    away as it is read: a client is a process of its own, which nothing waits for. Whether a
    client was started at all is told by the launcher's own trace (`starts`), not by waiting
    for a record."""
    deadline, found = time.monotonic() + timeout, []
    while len(found := sorted(f for folder in folders for f in folder.glob("client-*.json"))) < expected:
        if time.monotonic() > deadline:
            raise TimeoutError(f"waited {timeout:.0f} s for {expected} client record(s) in {folders}")
        time.sleep(0.05)
    records = [json.loads(r.read_text()) for r in found]
    for record, path in zip(records, found):
        path.unlink()
        record.update(commandLine=text(record["commandLine"]), argv=[text(a) for a in record["argv"]],
                      currentDirectory=text(record["currentDirectory"]),
                      ansiCommandLine=bytes.fromhex(record["ansiCommandLine"]),
                      ansiArgv=[bytes.fromhex(a) for a in record["ansiArgv"]])
    return records

"""A scratch PostgreSQL 15 server for the collector's tests and its load run:
Debian's server binaries on a fresh data directory, removed afterwards, listening
only on a unix socket inside it (side-by-side runs never compete for a port).
PostgreSQL refuses to run as root; under root it runs as the `postgres` user."""

import os
import pathlib
import shutil
import subprocess
import tempfile

BIN = pathlib.Path("/usr/lib/postgresql/15/bin")
PORT = 5432  # names the socket file only: there is no TCP listener


class ScratchPostgres:
    def __init__(self, primary=None):
        """A new server with an empty database `vorn`, or with `primary`, a hot standby
        of that server, copied from it and streaming what it writes."""
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="vorn-pg-"))
        self.data = self.dir / "data"
        self._as_owner = []
        if os.geteuid() == 0:
            shutil.chown(self.dir, "postgres", "postgres")
            self._as_owner = ["runuser", "-u", "postgres", "--"]
        self.url = f"postgresql:///vorn?host={self.dir}&port={PORT}&user=postgres"
        if primary:
            self._run(BIN / "pg_basebackup", "-D", self.data, "-h", primary.dir, "-p", PORT,
                      "-U", "postgres", "--write-recovery-conf", "--checkpoint=fast", "--no-sync")
            self.start()
            return
        self._run(BIN / "initdb", "-D", self.data, "-U", "postgres", "--auth=trust",
                  "-E", "UTF8", "--no-sync")
        self.start()
        self._run(BIN / "createdb", "-h", self.dir, "-p", PORT, "-U", "postgres", "vorn")

    def _run(self, *argv):
        done = subprocess.run(self._as_owner + [str(a) for a in argv], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        if done.returncode != 0:
            raise RuntimeError(f"{argv[0]} failed: {done.stdout.decode(errors='replace')}")

    def start(self):
        """Returns once the server takes connections (pg_ctl -w waits for that)."""
        options = f"-k {self.dir} -p {PORT} -c listen_addresses='' -c max_connections=200"
        self._run(BIN / "pg_ctl", "-D", self.data, "-l", self.dir / "server.log", "-w",
                  "-t", "120", "-o", options, "start")

    def stop(self):
        self._run(BIN / "pg_ctl", "-D", self.data, "-w", "-t", "120", "-m", "fast", "stop")

    def close(self):
        try:
            if (self.data / "postmaster.pid").exists():
                self.stop()
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


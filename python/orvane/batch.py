"""A lot of modules calibrated as Dask tasks, on this machine or on a cluster.

    import orvane.batch
    orvane.batch.run("lot", "calibrations")                      # local cluster
    orvane.batch.run("lot", "calibrations", scheduler="tcp://host:8786")

or from a shell: /usr/bin/python3 -m orvane.batch LOT --out DIR [--scheduler ADDRESS]
[--acceptance FILE].

Each task calibrates one module from its manifest by running the `orvane`
tool's single-module path (`orvane batch --one MANIFEST --name MODULE --out
DIR`), which writes DIR/<module>/ exactly as `orvane batch` does, resumes the
same way, and prints the module's row of the lot table. The rows come back
through Dask and make DIR/lot.csv, the same bytes as `orvane batch` writes for
the lot (the runtime_s column aside). The lot is listed by the tool too
(`orvane batch LOT --list`), so both paths name the modules alike. While the
tasks run, a progress line every few seconds (stderr), then the yield summary
`orvane batch` prints: by verdict, then by root cause.

On a cluster every worker runs the tool itself: LOT and DIR must be the same
paths on every machine (a shared file system), and each worker needs the
`orvane` tool (ORVANE_CLI, or `orvane` on its PATH) and this package.
"""

import argparse
import csv
import io
import os
import shutil
import subprocess
import sys
import tempfile
import time

__all__ = ["BatchError", "find_cli", "list_lot", "calibrate_module", "yield_summary", "run",
           "main"]

# Seconds between two progress lines.
PROGRESS_EVERY = 5.0


class BatchError(RuntimeError):
    pass


def find_cli(cli=None):
    """The `orvane` tool: `cli`, else ORVANE_CLI, else `orvane` on the PATH."""
    path = cli or os.environ.get("ORVANE_CLI") or shutil.which("orvane")
    if not path:
        raise BatchError("the orvane tool was not found: give cli=, set ORVANE_CLI or put it "
                         "on the PATH")
    return os.path.abspath(path)


def list_lot(lot, out, cli=None):
    """[(module, manifest)] of a lot folder or list file, sorted as `orvane batch` sorts them."""
    proc = subprocess.run([find_cli(cli), "batch", os.fspath(lot), "--out", os.fspath(out),
                           "--list"], capture_output=True)
    if proc.returncode != 0:
        raise BatchError(proc.stderr.decode(errors="replace").strip()
                         or f"orvane batch --list: exit {proc.returncode}")
    entries = []
    for line in proc.stdout.decode().splitlines():
        module, _, manifest = line.partition("\t")
        entries.append((module, manifest))
    return entries


def calibrate_module(manifest, module, out, cli=None, settings=None, force=False,
                     acceptance=None):
    """One Dask task: calibrates `manifest` into out/<module>/ (or takes its complete
    outputs), judged against the acceptance file `acceptance` (default: the tool's
    default limits), and returns (header, row) of the lot table, as bytes."""
    args = [find_cli(cli), "batch", "--one", manifest, "--name", module, "--out", out]
    if settings:
        args += ["--settings", settings]
    if acceptance:
        args += ["--acceptance", acceptance]
    if force:
        args.append("--force")
    proc = subprocess.run(args, capture_output=True)
    lines = proc.stdout.split(b"\n")
    if proc.returncode != 0 or len(lines) != 3 or lines[2] != b"":
        raise BatchError(f"{module}: orvane batch --one exited {proc.returncode}: "
                         + proc.stderr.decode(errors="replace").strip())
    return lines[0], lines[1]


def _rows(table):
    """lot.csv's bytes as dicts, verdicts in upper case (older tools wrote lower)."""
    rows = list(csv.DictReader(io.StringIO(table.decode("utf-8", errors="replace"))))
    for r in rows:
        r["verdict"] = (r.get("verdict") or "").upper()
    return rows


class _Progress:
    """A line on stderr every PROGRESS_EVERY seconds while the tasks run, and at the end."""

    def __init__(self, total, stream):
        self.total, self.stream = total, stream
        self.done = self.failed = self.errors = 0
        self.t0 = self.last = time.monotonic()

    def module_done(self, header, row):
        verdict = _rows(header + b"\n" + row + b"\n")
        verdict = verdict[0]["verdict"] if verdict else ""
        self.done += 1
        self.failed += verdict == "FAIL"
        self.errors += verdict == "ERROR"
        if time.monotonic() - self.last >= PROGRESS_EVERY:
            self.line()

    def line(self):
        self.last = time.monotonic()
        if self.stream is not None:
            print(f"orvane.batch: {self.done} of {self.total} done, {self.failed} failed, "
                  f"{self.errors} errors, {self.last - self.t0:.0f} s elapsed", file=self.stream,
                  flush=True)


def yield_summary(out, cli=None, acceptance=None):
    """The yield of out/lot.csv as `orvane batch` prints it: the tool words it
    (`orvane batch --summary OUT`), `acceptance` naming the limits."""
    args = [find_cli(cli), "batch", "--summary", os.fspath(out)]
    if acceptance:
        args += ["--acceptance", os.fspath(acceptance)]
    proc = subprocess.run(args, capture_output=True)
    if proc.returncode != 0:
        raise BatchError(proc.stderr.decode(errors="replace").strip()
                         or f"{args[0]} batch --summary failed")
    return proc.stdout.decode()


def _gather(tasks, scheduler, workers, progress=None):
    """Runs [(function, args)] on the scheduler's cluster, or on a local one, and
    returns their results in order; progress.module_done(*result) as each ends."""
    from distributed import Client, LocalCluster, as_completed
    cluster = None
    if scheduler:
        client = Client(scheduler)
    else:
        # The tasks wait on the tool's processes, so thread workers do; no
        # dashboard, whose fixed port another cluster on the machine may hold.
        cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                               processes=False, dashboard_address=None)
        client = Client(cluster)
    try:
        futures = [client.submit(f, *args, pure=False) for f, args in tasks]
        for future in as_completed(futures):
            result = future.result()  # a failed task stops the lot with its error
            if progress is not None:
                progress.module_done(*result)
        return client.gather(futures)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def _write_atomic(path, data):
    folder = os.path.dirname(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(dir=folder, prefix=".lot-", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(temp, path)
    except BaseException:
        if os.path.exists(temp):
            os.unlink(temp)
        raise


def run(lot, out="orvane-lot", scheduler=None, workers=None, settings=None, force=False,
        cli=None, page=True, acceptance=None, module_reports="failed", quiet=False, db=None):
    """Calibrates every module of `lot` as Dask tasks and writes out/lot.csv (and the lot
    page, out/lot.html, unless page is False, with the reports of the failed modules,
    of "all" or of none (None) as module_reports says, as `orvane batch` does). `scheduler`: the address of a running scheduler; without it a local cluster
    of `workers` workers (default: one per core) runs the tasks. `acceptance`: the
    acceptance file every module is judged against (default: the tool's defaults).
    Unless quiet, prints progress lines on stderr and the yield summary on stdout.
    `db`: a history database URL the lot is recorded in at the end (orvane.history).
    Returns the path of lot.csv."""
    cli = find_cli(cli)
    out = os.path.abspath(os.fspath(out))
    lot = os.path.abspath(os.fspath(lot))
    settings = os.path.abspath(settings) if settings else None
    acceptance = os.path.abspath(os.fspath(acceptance)) if acceptance else None
    entries = list_lot(lot, out, cli)
    os.makedirs(out, exist_ok=True)

    progress = _Progress(len(entries), None if quiet else sys.stderr)
    results = _gather([(calibrate_module,
                        (manifest, module, out, cli, settings, force, acceptance))
                       for module, manifest in entries], scheduler, workers, progress)
    progress.line()

    headers = {header for header, _ in results}
    if len(headers) != 1:
        raise BatchError("the workers' orvane tools write different lot tables: "
                         + " / ".join(sorted(h.decode() for h in headers)))
    table = headers.pop() + b"\n" + b"".join(row + b"\n" for _, row in results)
    path = os.path.join(out, "lot.csv")
    _write_atomic(path, table)
    if not quiet:
        where = f"the cluster at {scheduler}" if scheduler else \
            f"{workers or os.cpu_count() or 1} local workers"
        print(f"orvane.batch: {len(entries)} modules in "
              f"{time.monotonic() - progress.t0:.0f} s on {where}")
        print(yield_summary(out, cli, acceptance), end="", flush=True)
    if db:
        from . import history
        history.ingest(out, db)
    if page:
        from . import lot_page
        lot_page.write(out, module_reports=module_reports)
    return path


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m orvane.batch",
        description="Calibrate a lot of modules as Dask tasks (local cluster or a scheduler)")
    parser.add_argument("lot", help="folder of capture sets, or a list of manifests")
    parser.add_argument("--out", default="orvane-lot", help="output folder (default %(default)s)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler, "
                        "e.g. tcp://10.0.0.5:8786 (default: a local cluster)")
    parser.add_argument("--workers", type=int, help="local cluster's workers (default: cores)")
    parser.add_argument("--settings", help="cal_settings for every module")
    parser.add_argument("--acceptance", help="acceptance limits every module is judged "
                        "against (default: the tool's defaults)")
    parser.add_argument("--force", action="store_true", help="redo complete modules")
    parser.add_argument("--cli", help="the orvane tool (default: ORVANE_CLI or PATH)")
    parser.add_argument("--db", help="history database URL to record the lot in at the end")
    parser.add_argument("--no-page", action="store_true", help="do not write lot.html")
    parser.add_argument("--module-reports", choices=["all", "failed", "none"], default="failed",
                        help="the modules whose report.html the lot page links are written "
                             "(default %(default)s; a report takes a few seconds)")
    a = parser.parse_args(argv)
    try:
        path = run(a.lot, a.out, a.scheduler, a.workers, a.settings, a.force, a.cli,
                   page=not a.no_page, acceptance=a.acceptance,
                   module_reports=None if a.module_reports == "none" else a.module_reports,
                   db=a.db)
    except BatchError as e:
        print(f"orvane.batch: {e}", file=sys.stderr)
        return 1
    print(f"Lot table: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

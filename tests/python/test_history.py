"""The lots' history: ingest is idempotent and atomic, concurrent writers keep
every row, blocks and odd names come back as stored; on SQLite and, when a
throwaway server can be started, PostgreSQL."""

import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

from conftest import cli, run
from orvane import history

PG_BIN = "/usr/lib/postgresql/15/bin"
ODD = ["L'7; DROP TABLE modules;--", "lot \"quoted\" with spaces", "Los Ñandú ß"]


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    """Two small calibrated lots (different seeds): their results folders."""
    root = tmp_path_factory.mktemp("lots")
    out = []
    for seed in (3, 4):
        run(cli(), "simulate", "--lot", "3", "--width", "512", "--height", "384", "--seed",
            str(seed), "--out", str(root / f"sim{seed}"))
        run(cli(), "batch", str(root / f"sim{seed}"), "--out", str(root / f"res{seed}"),
            "--no-page", "--jobs", "1")
        out.append(root / f"res{seed}")
    return out


def _postgres(tmp_root):
    if not os.path.exists(os.path.join(PG_BIN, "initdb")):
        pytest.skip("no PostgreSQL server binaries in " + PG_BIN)
    try:
        import psycopg2  # noqa: F401
    except ImportError:
        pytest.skip("python3-psycopg2 is not installed")
    # initdb refuses root: run the server as nobody, in a folder nobody owns.
    base = tempfile.mkdtemp(prefix="orvane-pg-", dir="/tmp")
    os.chmod(base, 0o755)
    prefix = []
    if os.geteuid() == 0:
        user = pwd.getpwnam("nobody")
        os.chown(base, user.pw_uid, user.pw_gid)
        prefix = ["runuser", "-u", "nobody", "--"]
    data = os.path.join(base, "data")
    init = subprocess.run(prefix + [os.path.join(PG_BIN, "initdb"), "-D", data, "-U", "orvane",
                                    "--auth=trust", "-E", "UTF8", "--locale=C.UTF-8"],
                          capture_output=True, text=True)
    if init.returncode != 0:
        shutil.rmtree(base, ignore_errors=True)
        pytest.skip("initdb failed: " + init.stderr.strip()[-300:])
    start = subprocess.run(prefix + [os.path.join(PG_BIN, "pg_ctl"), "-D", data, "-w", "-l",
                                     os.path.join(base, "log"), "-o",
                                     f"-k {base} -c listen_addresses='' -p 5432", "start"],
                           capture_output=True, text=True)
    if start.returncode != 0:
        shutil.rmtree(base, ignore_errors=True)
        pytest.skip("pg_ctl start failed: " + start.stderr.strip()[-300:])
    stop = prefix + [os.path.join(PG_BIN, "pg_ctl"), "-D", data, "-m", "immediate", "stop"]
    return f"postgresql://orvane@/postgres?host={base}", stop, base


@pytest.fixture(scope="module", params=["sqlite", "postgresql"])
def url(request, tmp_path_factory):
    """A fresh, empty history on each engine."""
    if request.param == "sqlite":
        yield "sqlite:///" + str(tmp_path_factory.mktemp("sqlite") / "history.sqlite")
        return
    pg_url, stop, base = _postgres(tmp_path_factory)
    try:
        yield pg_url
    finally:
        subprocess.run(stop, capture_output=True)
        shutil.rmtree(base, ignore_errors=True)


def _history(*args, env=None):
    return subprocess.Popen([sys.executable, "-m", "orvane.history", *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=env)


def _ok(proc):
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 0, err
    return out


def _snapshot(url, lot):
    rows = [{k: v for k, v in r.items() if k != "lot_time"}
            for m in ("module-001", "module-002", "module-003")
            for r in history.module_records(url, m) if r["lot"] == lot]
    lot_rows = [{k: v for k, v in r.items() if k != "ingested_at"}
                for r in history.lots(url) if r["lot"] == lot]
    names, dcc = history.window_values(url, "dcc", verdict=None)
    values = dcc[names.index(lot)].tolist() if lot in names else []
    return rows, lot_rows, [[None if v != v else v for v in m] for m in values]


@pytest.mark.parametrize("lot", ODD)
def test_ingest_twice_same_rows_odd_names_and_blocks(url, results, lot, tmp_path):
    _ok(_history("ingest", results[0], "--db", url, "--lot", lot))
    first = _snapshot(url, lot)
    _ok(_history("ingest", results[0], "--db", url, "--lot", lot))
    again = _snapshot(url, lot)
    assert first == again and len(first[0]) == 3
    assert [r["lot"] for r in history.lots(url) if r["lot"] == lot] == [lot]
    # Each module's stored block, written back by the command, is the file's bytes.
    for module in ("module-001", "module-002", "module-003"):
        back = tmp_path / f"{module}.bin"
        _ok(_history("module", module, "--db", url, "--lot", lot, "--block-out", back))
        original = results[0] / module / "calibration_block.bin"
        if original.exists():
            assert back.read_bytes() == original.read_bytes()


def test_killed_ingest_leaves_history_unchanged(url, results):
    lot = "killed"
    _ok(_history("ingest", results[0], "--db", url, "--lot", lot))
    before = _snapshot(url, lot)
    env = dict(os.environ, ORVANE_HISTORY_PAUSE_BEFORE_COMMIT="60")
    proc = _history("ingest", results[1], "--db", url, "--lot", lot, env=env)
    assert proc.stdout.readline().startswith("ingest: rows written")
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    assert _snapshot(url, lot) == before


def test_concurrent_batch_runs_keep_every_row(url, results, tmp_path):
    # Four `orvane batch --db` runs at once, each holding its transaction open a
    # second so that they overlap.
    env = dict(os.environ, ORVANE_HISTORY_PAUSE_BEFORE_COMMIT="1")
    lots = [f"concurrent {i}" for i in range(4)]
    procs = [subprocess.Popen([cli(), "batch", str(results[i % 2].parent / f"sim{3 + i % 2}"),
                               "--out", str(tmp_path / lot), "--no-page", "--jobs", "1",
                               "--db", url], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, env=env)
             for i, lot in enumerate(lots)]
    for proc in procs:
        _ok(proc)
    stored = {r["lot"]: r for r in history.lots(url)}
    snaps = [_snapshot(url, lot) for lot in lots]
    for lot, snap in zip(lots, snaps):
        assert stored[lot]["modules"] == 3 and len(snap[0]) == 3
    # Same folder, same numbers: nothing of one writer's lot was lost to the other.
    assert snaps[0][2] == snaps[2][2] and snaps[1][2] == snaps[3][2]
    assert snaps[0][2] != snaps[1][2]

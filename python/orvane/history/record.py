"""Recording a batch results folder: every module of lot.csv, with its marks,
numbers and calibration block, in one transaction per lot.

The results folder is only read. lot.csv (written by the tool) gives each
module's verdict, root cause and failing checks; batch.json the station-side
marks (library, manifest and settings hashes); summary.json the per-window DCC
and peak lens and the gain residual; calibration_block.bin the block itself.
"""

import csv
import json
import os
import socket
import time

import sqlalchemy as sa

from . import db, schema

BLOCK_FILE = "calibration_block.bin"

# Test hook: seconds to sleep after the lot's rows are written and before the
# commit, so a test can kill an ingest mid-transaction.
PAUSE_ENV = "ORVANE_HISTORY_PAUSE_BEFORE_COMMIT"


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def _json(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def _float(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return None


def _library_version():
    try:
        from .. import api
        return api.lib_version()
    except Exception:                       # no library at hand: the marks are all we have
        return ""


def read_results(results_dir, lot=None, station=None):
    """(lot row, [module rows], [window rows]) of a results folder, as plain dicts."""
    results_dir = os.path.abspath(os.fspath(results_dir))
    table = os.path.join(results_dir, "lot.csv")
    if not os.path.isfile(table):
        raise db.HistoryError(results_dir + ": no lot.csv (not a batch results folder)")
    lot = lot if lot is not None else os.path.basename(results_dir)
    station = station if station is not None else socket.gethostname()
    with open(table, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    modules, windows, library, newest = [], [], "", 0.0
    for row in rows:
        name = row["module"]
        folder = os.path.join(results_dir, name)
        mark = _json(os.path.join(folder, "batch.json")) or {}
        summary = _json(os.path.join(folder, "summary.json")) or {}
        when = None
        if mark:
            when = os.stat(os.path.join(folder, "batch.json")).st_mtime
            newest = max(newest, when)
        version = (mark.get("library") or "").strip()
        library = library or version
        block = None
        block_path = os.path.join(folder, BLOCK_FILE)
        if mark and os.path.isfile(block_path):
            with open(block_path, "rb") as f:
                block = f.read()
        residual = summary.get("gain_residual") or {}
        modules.append(dict(
            lot=lot, module=name, station=station, time=when, library_version=version or None,
            settings_hash=mark.get("settings_fnv1a") or None,
            manifest_hash=mark.get("manifest_fnv1a") or None,
            verdict=row["verdict"], root_cause=row["root_cause"],
            failed_checks=row["failed_checks"],
            gain_residual_median=_float(residual.get("median")),
            gain_residual_worst=_float(residual.get("worst")),
            win_rows=summary.get("win_rows"), win_cols=summary.get("win_cols"),
            block=block, block_fnv1a=fnv1a64(block) if block is not None else None))
        dcc = [v for r in summary.get("dcc_lens_per_px") or [] for v in r]
        peak = [v for r in summary.get("peak_lens") or [] for v in r]
        for i, value in enumerate(dcc):
            windows.append(dict(lot=lot, module=name, window=i, dcc=_float(value),
                                peak_lens=_float(peak[i]) if i < len(peak) else None))
    lot_row = dict(lot=lot, station=station, ingested_at=time.time(),
                   time=newest or os.stat(table).st_mtime,
                   library_version=library or _library_version(),
                   results_dir=results_dir, modules=len(modules))
    return lot_row, modules, windows


def ingest(results_dir, url=None, lot=None, station=None):
    """Records a results folder; the lot's earlier rows are replaced. Returns the lot's name."""
    lot_row, modules, windows = read_results(results_dir, lot, station)
    eng = db.open_history(url or db.default_url(results_dir))
    name = lot_row["lot"]

    def write(conn):
        # Children first: SQLite's cascades need foreign_keys on every
        # connection, an explicit delete does not.
        for table in (schema.windows, schema.modules, schema.lots):
            conn.execute(table.delete().where(table.c.lot == sa.bindparam("name")),
                         {"name": name})
        conn.execute(schema.lots.insert(), [lot_row])
        if modules:
            conn.execute(schema.modules.insert(), modules)
        if windows:
            conn.execute(schema.windows.insert(), windows)
        pause = os.environ.get(PAUSE_ENV)
        if pause:
            print("ingest: rows written, committing", flush=True)
            time.sleep(float(pause))

    try:
        db.transaction(eng, write)
    finally:
        eng.dispose()
    return name

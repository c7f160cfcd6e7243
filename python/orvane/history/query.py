"""Reading the history back: plain rows (dicts) and numpy arrays."""

import numpy as np
import sqlalchemy as sa

from . import db, schema

_m, _l, _w = schema.modules, schema.lots, schema.windows


def _rows(url, stmt, params=None):
    eng = db.open_history(url)
    try:
        with eng.connect() as conn:
            return [dict(r._mapping) for r in conn.execute(stmt, params or {})]
    finally:
        eng.dispose()


def module_records(url, module):
    """Every record of a module, one per lot it appears in, oldest lot first (block included)."""
    stmt = (sa.select(_m, _l.c.time.label("lot_time"))
            .join(_l, _l.c.lot == _m.c.lot)
            .where(_m.c.module == sa.bindparam("module"))
            .order_by(_l.c.time, _m.c.lot))
    return _rows(url, stmt, {"module": module})


def lots(url):
    """Every lot, oldest first: name, time, station, library version, modules, passed and
    `failed` {root cause: count} (ERROR modules under `error`)."""
    out = _rows(url, sa.select(_l).order_by(_l.c.time, _l.c.lot))
    counts = _rows(url, sa.select(_m.c.lot, _m.c.verdict, _m.c.root_cause,
                                  sa.func.count().label("n"))
                   .group_by(_m.c.lot, _m.c.verdict, _m.c.root_cause))
    by_lot = {row["lot"]: row for row in out}
    for row in out:
        row["passed"], row["failed"] = 0, {}
    for c in counts:
        row = by_lot[c["lot"]]
        if c["verdict"] == "PASS":
            row["passed"] += c["n"]
        else:
            cause = c["root_cause"] or c["verdict"].lower()
            row["failed"][cause] = row["failed"].get(cause, 0) + c["n"]
    for row in out:
        row["yield"] = row["passed"] / row["modules"] if row["modules"] else float("nan")
    return out


def window_values(url, column="dcc", verdict="PASS"):
    """(lot names oldest first, array [lot, module-slot, window]) of `dcc` or `peak_lens`,
    NaN where a lot has fewer modules or windows; only modules of `verdict` (None: all)."""
    if column not in ("dcc", "peak_lens"):
        raise ValueError("column is dcc or peak_lens")
    names = [r["lot"] for r in lots(url)]
    stmt = (sa.select(_w.c.lot, _w.c.module, _w.c.window, _w.c[column].label("v"))
            .join(_m, sa.and_(_m.c.lot == _w.c.lot, _m.c.module == _w.c.module))
            .order_by(_w.c.lot, _w.c.module, _w.c.window))
    if verdict is not None:
        stmt = stmt.where(_m.c.verdict == sa.bindparam("verdict"))
    rows = _rows(url, stmt, {"verdict": verdict} if verdict is not None else None)
    slots = {name: {} for name in names}
    n_win = 1 + max((r["window"] for r in rows), default=-1)
    for r in rows:
        slots[r["lot"]].setdefault(r["module"], len(slots[r["lot"]]))
    n_mod = max((len(s) for s in slots.values()), default=0)
    out = np.full((len(names), n_mod, n_win), np.nan)
    index = {name: i for i, name in enumerate(names)}
    for r in rows:
        if r["v"] is not None:
            out[index[r["lot"]], slots[r["lot"]][r["module"]], r["window"]] = r["v"]
    return names, out

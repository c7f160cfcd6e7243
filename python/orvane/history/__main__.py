"""/usr/bin/python3 -m orvane.history ingest|module|lots ...; see docs/history.md."""

import argparse
import sys
import time

import sqlalchemy as sa

from . import db, query, record


def _url(args, results_dir=None):
    if args.db:
        return args.db
    if results_dir is None:
        raise db.HistoryError("give --db URL (e.g. sqlite:///path/orvane-history.sqlite)")
    return db.default_url(results_dir)


def _fmt(value):
    if value is None:
        return "-"
    if isinstance(value, float):
        return "%.6g" % value
    return str(value)


def main(argv=None):
    p = argparse.ArgumentParser(prog="orvane history",
                                description="The lots' history in a database.")
    sub = p.add_subparsers(dest="command", required=True)
    a = sub.add_parser("ingest", help="record a batch results folder")
    a.add_argument("results_dir")
    a.add_argument("--lot", help="lot name (default: the folder's name)")
    a.add_argument("--db", help="database URL (default: sqlite beside RESULTS_DIR)")
    m = sub.add_parser("module", help="a module's records in every lot")
    m.add_argument("name")
    m.add_argument("--db", required=True)
    m.add_argument("--block-out", metavar="FILE",
                   help="write the newest lot's stored calibration block to FILE")
    m.add_argument("--lot", help="with --block-out: this lot's block")
    l = sub.add_parser("lots", help="lots with yield by root cause")
    l.add_argument("--db", required=True)
    h = sub.add_parser("page", help="write history.html, the drift page")
    h.add_argument("--db", required=True)
    h.add_argument("--out", default="history.html")
    h.add_argument("--baseline", type=int, default=5,
                   help="control limits from the first N lots (default 5)")
    h.add_argument("--dcc-limits", type=float, nargs=2, metavar=("LO", "HI"))
    h.add_argument("--peak-limits", type=float, nargs=2, metavar=("LO", "HI"))
    args = p.parse_args(argv)
    try:
        if args.command == "ingest":
            url = _url(args, args.results_dir)
            name = record.ingest(args.results_dir, url, lot=args.lot)
            print("Ingested lot %s into %s" % (name, url))
        elif args.command == "module":
            records = query.module_records(args.db, args.name)
            if not records:
                raise db.HistoryError("no module %r in the history" % args.name)
            cols = ("lot", "station", "library_version", "verdict", "root_cause",
                    "failed_checks", "gain_residual_median", "block_fnv1a")
            for r in records:
                print("  ".join("%s=%s" % (c, _fmt(r[c])) for c in cols))
            if args.block_out:
                pick = [r for r in records if args.lot is None or r["lot"] == args.lot]
                if not pick or pick[-1]["block"] is None:
                    raise db.HistoryError("no stored block for that module and lot")
                with open(args.block_out, "wb") as f:
                    f.write(pick[-1]["block"])
                print("Block of lot %s written to %s" % (pick[-1]["lot"], args.block_out))
        elif args.command == "page":
            from . import drift_page
            limits = {k: v for k, v in (("dcc", args.dcc_limits),
                                         ("peak_lens", args.peak_limits)) if v}
            print(drift_page.write(args.db, args.out, args.baseline, limits or None))
        else:
            for r in query.lots(args.db):
                failed = " ".join("%s:%d" % kv for kv in sorted(r["failed"].items()))
                print("%s  %s  station=%s  library=%s  modules=%d  yield=%.1f%%  %s" % (
                    r["lot"], time.strftime("%Y-%m-%d %H:%M:%SZ", time.gmtime(r["time"])), r["station"], r["library_version"],
                    r["modules"], 100 * r["yield"], failed))
    except (db.HistoryError, OSError) as e:
        print("orvane history: " + str(e), file=sys.stderr)
        return 1
    except sa.exc.SQLAlchemyError as e:
        cause = getattr(e, "orig", None) or e
        print("orvane history: database error: " + str(cause).strip().splitlines()[0],
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

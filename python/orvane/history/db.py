"""Opening a history: the URL, SQLite's concurrency settings, schema creation
and migration."""

import os
import time

import sqlalchemy as sa
from sqlalchemy import event

from . import schema

# How long an SQLite writer waits for another's lock, and how often a whole
# transaction is retried when the database stays busy or a PostgreSQL
# serialization conflict aborts it.
BUSY_TIMEOUT_S = 60
RETRIES = 8


class HistoryError(RuntimeError):
    pass


def default_url(results_dir):
    """sqlite:///<RESULTS_DIR>/../orvane-history.sqlite: one history beside the lots' folders."""
    path = os.path.join(os.path.dirname(os.path.abspath(os.fspath(results_dir))),
                        "orvane-history.sqlite")
    return "sqlite:///" + path


def _sqlite_pragmas(dbapi_conn, _record):
    # pysqlite's own BEGIN handling would defer the write lock past our first
    # read; autocommit at the driver and an explicit BEGIN IMMEDIATE in
    # `transaction` take the lock up front, so two writers queue instead of
    # deadlocking on a lock upgrade, and readers never take it.
    dbapi_conn.isolation_level = None
    cur = dbapi_conn.cursor()
    cur.execute("PRAGMA journal_mode=WAL")
    cur.execute("PRAGMA busy_timeout=%d" % (BUSY_TIMEOUT_S * 1000))
    cur.execute("PRAGMA foreign_keys=ON")
    cur.close()


def engine(url):
    eng = sa.create_engine(url, future=True)
    if eng.dialect.name == "sqlite":
        event.listen(eng, "connect", _sqlite_pragmas)
    return eng


def transaction(eng, work):
    """Runs work(conn) in one transaction, retried whole when the database is busy."""
    for attempt in range(RETRIES):
        try:
            with eng.connect() as conn, conn.begin():
                if eng.dialect.name == "sqlite":
                    conn.exec_driver_sql("BEGIN IMMEDIATE")
                return work(conn)
        except sa.exc.OperationalError as e:
            text = str(e.orig).lower()
            transient = ("locked" in text or "busy" in text or "serializ" in text
                         or "deadlock" in text)
            if not transient or attempt + 1 == RETRIES:
                raise
            time.sleep(0.05 * 2 ** attempt)


def open_history(url):
    """The engine of a history, its tables made or migrated to the current version."""
    eng = engine(url)
    try:
        with eng.connect() as conn:
            row = conn.execute(sa.select(schema.schema_version.c.version)).first()
        if row is not None and row[0] == schema.SCHEMA_VERSION:
            return eng
    except sa.exc.DBAPIError:
        pass                                # no tables yet

    def prepare(conn):
        schema.metadata.create_all(conn)
        row = conn.execute(sa.select(schema.schema_version.c.version)).first()
        if row is None:
            conn.execute(schema.schema_version.insert().values(version=schema.SCHEMA_VERSION))
            return
        version = row[0]
        if version > schema.SCHEMA_VERSION:
            raise HistoryError("history schema version %d is newer than this code's %d"
                               % (version, schema.SCHEMA_VERSION))
        while version < schema.SCHEMA_VERSION:
            schema.MIGRATIONS[version](conn)
            version += 1
        conn.execute(schema.schema_version.update().values(version=version))

    try:
        transaction(eng, prepare)
    except sa.exc.IntegrityError:
        # Two first users made the tables at once: the other one's are there now.
        transaction(eng, prepare)
    return eng

"""The history's tables (SQLAlchemy Core), one schema for SQLite and PostgreSQL.

Version 1. `schema_version` holds one row, the version the tables were made
with. Migration path: a later version adds a function `_migrate_1_to_2(conn)`
(ALTER TABLE / new tables, data copied in SQL) to MIGRATIONS; `connect()` runs
every step from the stored version up to SCHEMA_VERSION inside one transaction
and stores the new number, so an old history is upgraded in place on first use
and a newer one than this code knows is refused rather than written.
"""

import sqlalchemy as sa

SCHEMA_VERSION = 1

metadata = sa.MetaData()

schema_version = sa.Table(
    "schema_version", metadata,
    sa.Column("version", sa.Integer, nullable=False))

lots = sa.Table(
    "lots", metadata,
    sa.Column("lot", sa.Text, primary_key=True),
    sa.Column("station", sa.Text, nullable=False),
    sa.Column("ingested_at", sa.Float, nullable=False),   # seconds since the epoch, UTC
    sa.Column("time", sa.Float, nullable=False),          # newest module's outputs
    sa.Column("library_version", sa.Text, nullable=False),
    sa.Column("results_dir", sa.Text, nullable=False),
    sa.Column("modules", sa.Integer, nullable=False))

modules = sa.Table(
    "modules", metadata,
    sa.Column("lot", sa.Text, sa.ForeignKey("lots.lot", ondelete="CASCADE"), primary_key=True),
    sa.Column("module", sa.Text, primary_key=True),
    sa.Column("station", sa.Text, nullable=False),
    sa.Column("time", sa.Float),
    sa.Column("library_version", sa.Text),
    sa.Column("settings_hash", sa.Text),
    sa.Column("manifest_hash", sa.Text),
    sa.Column("verdict", sa.Text, nullable=False),
    sa.Column("root_cause", sa.Text, nullable=False),
    sa.Column("failed_checks", sa.Text, nullable=False),
    sa.Column("gain_residual_median", sa.Float),
    sa.Column("gain_residual_worst", sa.Float),
    sa.Column("win_rows", sa.Integer),
    sa.Column("win_cols", sa.Integer),
    sa.Column("block", sa.LargeBinary),
    sa.Column("block_fnv1a", sa.Text))

windows = sa.Table(
    "windows", metadata,
    sa.Column("lot", sa.Text, primary_key=True),
    sa.Column("module", sa.Text, primary_key=True),
    sa.Column("window", sa.Integer, primary_key=True),    # row-major index
    sa.Column("dcc", sa.Float),
    sa.Column("peak_lens", sa.Float),
    sa.ForeignKeyConstraint(["lot", "module"], ["modules.lot", "modules.module"],
                            ondelete="CASCADE"))

# Steps from version N to N + 1, each given an open connection in a transaction.
MIGRATIONS = {}

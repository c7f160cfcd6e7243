"""The lots' history: every calibrated module in a database (SQLite by default,
PostgreSQL for several stations), queried by module and lot.

    from orvane import history
    history.ingest("results/L1")                  # sqlite:///results/orvane-history.sqlite
    history.lots("sqlite:///results/orvane-history.sqlite")

Shell: /usr/bin/python3 -m orvane.history ingest|module|lots (docs/history.md).
"""

from .db import HistoryError, default_url, open_history
from .record import ingest, read_results
from .query import lots, module_records, window_values
from .schema import SCHEMA_VERSION

__all__ = ["HistoryError", "default_url", "open_history", "ingest", "read_results", "lots",
           "module_records", "window_values", "SCHEMA_VERSION"]

"""The library's diagnostics reach Python as logging records, not stdout."""

import ctypes
import logging

import orvane
from conftest import NEEDS_LIBRARY


@NEEDS_LIBRARY
def test_a_dump_path_that_cannot_be_opened_is_a_warning_of_its_context(tmp_path, caplog, capfd):
    settings = orvane.cal_settings()
    settings.win_rows = settings.win_cols = 1
    settings.sweep_frames = 5
    path = tmp_path / "no such folder" / "state.bin"
    with caplog.at_level(logging.WARNING, logger="orvane"):
        with orvane.Context(settings) as ctx:
            ctx.get_dccmap(dump_path=path, raw_status=True)
            ctypes.CDLL(None).fflush(None)
            seen = [(r.name, r.levelno, r.getMessage(), r.context) for r in caplog.records]
            assert seen == [("orvane", logging.WARNING, f"Cannot open file for write: {path}",
                             ctx._handle.value)]
    assert capfd.readouterr().out == ""

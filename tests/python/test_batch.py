"""orvane.batch: a simulated lot calibrated as tasks on a local Dask cluster of two
workers writes the outputs and the lot table `orvane batch` writes (runtimes
aside), resumes from the marks of complete modules, and draws the lot page."""

import pathlib
import shutil

import pytest

import orvane.batch
from conftest import cli, run

distributed = pytest.importorskip("distributed")

FILES = ["calibration_block.bin", "curve_of_field_block.bin", "dccmap.json", "gainmap.json",
         "state_dump.bin", "summary.json", "truth.json"]


def without_runtime(table):
    return [line.rsplit(b",", 1)[0] for line in table.splitlines()]


@pytest.fixture(scope="module")
def lot(tmp_path_factory):
    root = tmp_path_factory.mktemp("lot")
    run(cli(), "simulate", "--lot", "12", "--width", "512", "--height", "384", "--seed", "7",
        "--out", str(root / "lot"))
    broken = root / "lot" / "broken"
    shutil.copytree(root / "lot" / "module-002", broken)
    (broken / "f03.raw").unlink()
    run(cli(), "batch", str(root / "lot"), "--jobs", "2", "--out", str(root / "tool"))
    return root


def test_dask_tasks_give_the_tools_lot_table_and_files(lot):
    table = orvane.batch.run(lot / "lot", lot / "dask", workers=2, cli=cli(), page=False)
    ours = pathlib.Path(table).read_bytes()
    tools = (lot / "tool" / "lot.csv").read_bytes()
    assert without_runtime(ours) == without_runtime(tools)
    rows = without_runtime(ours)
    assert len(rows) == 14 and rows[1].startswith(b"broken,error,error,")
    assert b"f03.raw" in rows[1]
    assert sum(b",fail," in r for r in rows) == 2
    for module in [f"module-{i:03d}" for i in range(1, 13)]:
        for name in FILES:
            a = (lot / "tool" / module / name).read_bytes()
            assert a == (lot / "dask" / module / name).read_bytes(), f"{module}/{name}"

    # A second run finds every module complete: the table is byte for byte the
    # first one, runtimes included (they come from the marks), and nothing is redone.
    stamp = (lot / "dask" / "module-004" / "state_dump.bin").stat().st_mtime_ns
    again = orvane.batch.run(lot / "lot", lot / "dask", workers=2, cli=cli(), page=False)
    table_again = pathlib.Path(again).read_bytes().splitlines()
    first = ours.splitlines()
    assert [l for l in table_again if not l.startswith(b"broken,")] == \
        [l for l in first if not l.startswith(b"broken,")]
    assert (lot / "dask" / "module-004" / "state_dump.bin").stat().st_mtime_ns == stamp


def test_a_module_the_tool_cannot_run_stops_the_lot_with_its_name(lot, tmp_path):
    with pytest.raises(orvane.batch.BatchError, match="module-001"):
        orvane.batch.calibrate_module(str(lot / "lot" / "module-001" / "manifest.json"),
                                      "module-001", str(tmp_path), cli="/bin/false")

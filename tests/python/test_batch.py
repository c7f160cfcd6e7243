"""orvane.batch: a simulated lot calibrated as tasks on a local Dask cluster of two
workers writes the outputs and the lot table `orvane batch` writes (runtimes
aside), resumes from the marks of complete modules, and draws the lot page."""

import pathlib
import re
import shutil

import pytest

import orvane.batch
import orvane.lot_page
from conftest import cli, run

distributed = pytest.importorskip("distributed")

FILES = ["calibration_block.bin", "curve_of_field_block.bin", "dccmap.json", "gainmap.json",
         "state_dump.bin", "summary.json", "truth.json", "zero_pd_offset_block.bin"]


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
    again = orvane.batch.run(lot / "lot", lot / "dask", workers=2, cli=cli())
    table_again = pathlib.Path(again).read_bytes().splitlines()
    first = ours.splitlines()
    assert [l for l in table_again if not l.startswith(b"broken,")] == \
        [l for l in first if not l.startswith(b"broken,")]
    assert (lot / "dask" / "module-004" / "state_dump.bin").stat().st_mtime_ns == stamp
    assert (lot / "dask" / "lot.html").stat().st_size > 10000


def section(text, ident):
    start = text.index(f'<section id="{ident}">')
    return text[start:text.index("</section>", start)]


def test_the_lot_page_names_failures_by_reason_and_the_outliers(lot):
    faults = {}
    for line in (lot / "lot" / "lot_truth.csv").read_text().splitlines()[1:]:
        module, fault = line.split(",")[:2]
        faults[fault] = faults.get(fault, []) + [module]
    (shaded,), (decentred,) = faults["strong_shading"], faults["decentred_lens"]

    text = pathlib.Path(orvane.lot_page.write(str(lot / "tool"))).read_text()
    assert "<td class=\"num\">13</td><td>10 (76.9%)</td><td>2 (15.4%)</td><td>1 (7.7%)</td>" \
        in text
    reasons = {}
    for row in re.findall(r"<tr><td>(\w+)</td><td class=\"num\">(\d+)</td><td>[^<]*</td>"
                          r"<td>([^<]*)</td></tr>", section(text, "yield")):
        reasons[row[0]] = row[2].split()
        assert int(row[1]) == len(reasons[row[0]])
    assert reasons["gain_too_high"] == [shaded]
    assert decentred in reasons["peak_at_end"]
    assert reasons["error"] == ["broken"]
    assert not any("module-0" in m and m not in (shaded, decentred)
                   for ms in reasons.values() for m in ms)

    # The heat maps of median and spread per window position, and the named outliers:
    # the decentred lens's outer windows focus far from the lot's.
    assert section(text, "distribution").count("<svg") == 3
    assert "median over 12 modules" in section(text, "distribution")
    named = re.findall(r"<tr><td>(module-\d+)</td><td>(\w+)</td><td>(DCC|peak lens)</td>",
                       section(text, "outliers"))
    assert (decentred, "fail", "peak lens") in named
    assert {m for m, _, _ in named} <= {shaded, decentred}


def test_a_module_the_tool_cannot_run_stops_the_lot_with_its_name(lot, tmp_path):
    with pytest.raises(orvane.batch.BatchError, match="module-001"):
        orvane.batch.calibrate_module(str(lot / "lot" / "module-001" / "manifest.json"),
                                      "module-001", str(tmp_path), cli="/bin/false")

"""orvane.batch: a simulated lot calibrated as tasks on a local Dask cluster of two
workers writes the outputs and the lot table `orvane batch` writes (runtimes
aside), resumes from the marks of complete modules, and draws the lot page."""

import csv
import json
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
    run(cli(), "batch", str(root / "lot"), "--jobs", "2", "--no-page", "--out", str(root / "tool"))
    return root


def test_dask_tasks_give_the_tools_lot_table_and_files(lot):
    table = orvane.batch.run(lot / "lot", lot / "dask", workers=2, cli=cli(), page=False)
    ours = pathlib.Path(table).read_bytes()
    tools = (lot / "tool" / "lot.csv").read_bytes()
    assert without_runtime(ours) == without_runtime(tools)
    rows = without_runtime(ours)
    assert len(rows) == 14 and rows[1].startswith(b"broken,ERROR,error,")
    assert b"f03.raw" in rows[1]
    assert sum(b",FAIL," in r for r in rows) == 2
    for module in [f"module-{i:03d}" for i in range(1, 13)]:
        for name in FILES:
            a = (lot / "tool" / module / name).read_bytes()
            assert a == (lot / "dask" / module / name).read_bytes(), f"{module}/{name}"

    # A second run finds every module complete: the table is byte for byte the
    # first one, runtimes included (they come from the marks), and nothing is redone.
    stamp = (lot / "dask" / "module-004" / "state_dump.bin").stat().st_mtime_ns
    again = orvane.batch.run(lot / "lot", lot / "dask", workers=2, cli=cli(),
                             module_reports=False)
    table_again = pathlib.Path(again).read_bytes().splitlines()
    first = ours.splitlines()
    assert [l for l in table_again if not l.startswith(b"broken,")] == \
        [l for l in first if not l.startswith(b"broken,")]
    assert (lot / "dask" / "module-004" / "state_dump.bin").stat().st_mtime_ns == stamp
    assert (lot / "dask" / "lot.html").stat().st_size > 10000


def section(text, ident):
    start = text.index(f'<section id="{ident}">')
    return text[start:text.index("</section>", start)]


def table_rows(html):
    """The rows of an HTML table as lists of cell texts (tags dropped)."""
    rows = [[re.sub(r"<[^>]+>", "", c) for c in re.findall(r"<td[^>]*>(.*?)</td>", row)]
            for row in re.findall(r"<tr>(.*?)</tr>", html)]
    return [row for row in rows if row]


def test_the_lot_page_counts_yield_by_root_cause_and_names_the_outliers(lot, tmp_path):
    faults = {}
    for line in (lot / "lot" / "lot_truth.csv").read_text().splitlines()[1:]:
        module, fault = line.split(",")[:2]
        faults[fault] = faults.get(fault, []) + [module]
    (shaded,), (decentred,) = faults["strong_shading"], faults["decentred_lens"]
    folder = tmp_path / "lot"
    shutil.copytree(lot / "tool", folder)
    cause = {r["module"]: r["root_cause"] for r in csv.DictReader(open(folder / "lot.csv"))}
    # Every module but two has its report already; the page writes the two and keeps the rest.
    kept = [f"module-{i:03d}" for i in range(3, 13)]
    for module in kept:
        (folder / module / "report.html").write_text("kept")

    text = pathlib.Path(orvane.lot_page.write(str(folder), module_reports=True)).read_text()
    assert all((folder / m / "report.html").read_text() == "kept" for m in kept)
    for module in ("module-001", "module-002"):
        assert (folder / module / "report.html").read_text().startswith("<!DOCTYPE html>")
    assert not (folder / "broken" / "report.html").exists()

    # The headline: yield, then each failed module once, under the stage that failed first.
    yield_ = section(text, "yield")
    assert ["13", "10 (76.9%)", "2 (15.4%)", "1 (7.7%)"] in table_rows(yield_)
    causes = {row[0].split(":")[0]: (int(row[1]), row[3], row[4].split())
              for row in table_rows(yield_[yield_.index('class="causes"'):])}
    assert causes.pop("PASS")[0] == 10
    assert causes.pop("gain_map") == (1, "gain_map.flag.gain_too_high (1) "
                                         "gain_map.flag.level_too_low (1) gain_map.gain_max (1)",
                                      [shaded])
    assert causes.pop("error")[2] == ["broken"]
    assert causes == {cause[decentred]: (1, causes[cause[decentred]][1], [decentred])}
    # The flags, consequences included, apart.
    reasons = {row[0]: row[3].split() for row in table_rows(section(text, "reasons"))}
    assert reasons["gain_too_high"] == [shaded] and reasons["error"] == ["broken"]
    assert shaded in reasons["focus_failed"] and decentred in reasons["peak_at_end"]

    # The spread maps are the passing modules' and say what they leave out.
    spread = section(text, "distribution")
    assert spread.count("<svg") == 3 and "median over 10 modules" in spread
    assert "Left out: 2 failed, 1 not calibrated (ERROR)." in spread
    # The outliers are measured against the passing modules: the decentred lens's
    # outer windows focus far from them.
    named = re.findall(r"<tr><td>(module-\d+)</td><td>(\w+)</td><td>(DCC|peak lens)</td>",
                       section(text, "outliers"))
    assert (decentred, "FAIL", "peak lens") in named
    assert {m for m, _, _ in named} <= {shaded, decentred}
    # Every calibrated module links its report, by a path relative to the page.
    links = re.findall(r'<td><a href="([^"]+)">([^<]+)</a></td>', section(text, "modules"))
    assert links == [(f"{m}/report.html", m) for m in sorted(cause) if m != "broken"]


def test_a_module_the_tool_cannot_run_stops_the_lot_with_its_name(lot, tmp_path):
    with pytest.raises(orvane.batch.BatchError, match="module-001"):
        orvane.batch.calibrate_module(str(lot / "lot" / "module-001" / "manifest.json"),
                                      "module-001", str(tmp_path), cli="/bin/false")


# A stand-in for the tool: lists three modules and answers each --one with a row
# (one passes, one fails its gain map, one cannot be calibrated), logging its arguments.
STUB = """#!/usr/bin/python3
import json, os, sys
args = sys.argv[1:]
if "--list" in args:
    for m in ("m1", "m2", "m3"):
        print(m + "\\t" + os.path.join(args[1], m, "manifest.json"))
    sys.exit(0)
with open(os.path.join(os.path.dirname(__file__), "calls.log"), "a") as f:
    f.write(json.dumps(args) + "\\n")
if "--summary" in args:
    print("the tool's summary of " + args[args.index("--summary") + 1])
    sys.exit(0)
name = args[args.index("--name") + 1]
row = {"m1": "PASS,,", "m2": "FAIL,gain_map,gain_map.flag.gain_too_high",
       "m3": "ERROR,error,"}[name]
print("module,verdict,root_cause,failed_checks,reasons,runtime_s")
print(name + "," + row + ",,0.1")
"""


def test_the_dask_path_judges_against_the_acceptance_file_and_sums_up(tmp_path, monkeypatch,
                                                                         capsys):
    tool = tmp_path / "tool"
    tool.mkdir()
    (tool / "orvane").write_text(STUB)
    (tool / "orvane").chmod(0o755)
    (tmp_path / "acceptance.json").write_text("{}")
    monkeypatch.chdir(tmp_path)
    assert orvane.batch.main(["lot", "--out", "out", "--workers", "2", "--no-page",
                              "--cli", str(tool / "orvane"), "--acceptance",
                              "acceptance.json"]) == 0
    calls = [json.loads(line) for line in (tool / "calls.log").read_text().splitlines()]
    # Every module's run gets the file, by a path the workers can open from anywhere.
    runs = [c for c in calls if "--name" in c]
    assert sorted(c[c.index("--name") + 1] for c in runs) == ["m1", "m2", "m3"]
    assert all(c[c.index("--acceptance") + 1] == str(tmp_path / "acceptance.json")
               for c in calls)
    assert (tmp_path / "out" / "lot.csv").read_text().splitlines()[1:] == [
        "m1,PASS,,,,0.1", "m2,FAIL,gain_map,gain_map.flag.gain_too_high,,0.1",
        "m3,ERROR,error,,,0.1"]
    out, err = capsys.readouterr()
    assert "orvane.batch: 3 of 3 done, 1 failed, 1 errors," in err
    # The yield is worded by the tool, from the table the tasks made.
    summary = out[out.index("the tool's summary"):]
    assert summary.splitlines() == [f"the tool's summary of {tmp_path / 'out'}",
                                     f"Lot table: {tmp_path / 'out' / 'lot.csv'}"]

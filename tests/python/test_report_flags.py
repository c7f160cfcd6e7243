"""The report of a flagged calibration names each window's flags as the tool
wrote them, and the per-frame ones also when the folder has lost its summary or
its block is broken."""

import json
import re
import shutil

from conftest import SIZE, cli, report, run


def tool_flags(stdout):
    """Window -> flag names, from the per-window table `orvane calibrate` prints."""
    flags = {}
    for line in stdout.splitlines():
        # win row col  DCC true error  peak in-foc diff  conf flags...
        m = re.match(r"\s*(\d+)\s+\d+\s+\d+\s+\S+\s+\S+\s+\S+%\s+\S+\s+\S+\s+\S+\s+\d+\s+(.*)$",
                     line)
        if m:
            names = m.group(2).split()
            flags[int(m.group(1))] = [] if names == ["none"] else names
    return flags


def page_flags(text):
    """Window -> flag names, from the page's table of flagged windows."""
    table = re.search(r'<table class="flagged">(.*?)</table>', text, re.S)
    flags = {}
    for row in re.findall(r"<tr>(.*?)</tr>", table.group(1) if table else "", re.S):
        cells = re.findall(r"<td[^>]*>(.*?)</td>", row, re.S)
        if cells:
            flags[int(cells[0])] = re.findall(r'<span class="flag">([^<]*)</span>', cells[3])
    return flags


def section(text, ident):
    m = re.search(rf'<section id="{ident}">(.*?)</section>', text, re.S)
    assert m, ident
    return m.group(1)


def test_flagged_windows_by_name(tmp_path):
    root = tmp_path
    run(cli(), "simulate", "--out", str(root / "set"), *SIZE)
    settings = json.loads((root / "set" / "settings.json").read_text())
    windows = settings["win_rows"] * settings["win_cols"]
    # A limit no offset can meet in every third window, and a search range the
    # sweep's ends overrun.
    settings["dcc_dev_limit"] = [0.001 if w % 3 == 0 else 0.5 for w in range(windows)]
    settings["max_shift"] = 15
    (root / "tight.json").write_text(json.dumps(settings))
    out = root / "out"
    proc = run(cli(), "calibrate", str(root / "set" / "manifest.json"), "--settings",
               str(root / "tight.json"), "--out", str(out))
    expected = tool_flags(proc.stdout)
    assert len(expected) == windows
    deviating = [w for w, names in expected.items() if "dcc_deviation" in names]
    assert deviating == list(range(0, windows, 3))
    assert any("pd_at_edge" in names for names in expected.values())
    flagged = {w: names for w, names in expected.items() if names}

    _, text = report(out)
    assert page_flags(text) == flagged
    # The run's own settings and frame size, as summary.json records them.
    assert "<th>frame size</th><td>640 x 480 px</td>" in text
    assert "<th>search range</th><td>max_shift 15 px</td>" in text
    assert "zero-PD deviation limit 0.001, 0.5" in text
    assert re.search(r"DCC map</td><td>0x00000200</td><td><span class=\"flag\">dcc_deviation",
                     text)
    # Each flagged window's panels (PD and focus) carry its flags by name.
    sweep = section(text, "sweep")
    for name in ("dcc_deviation", "pd_at_edge"):
        panels = sum(name in names for names in flagged.values())
        assert len(re.findall(rf">\s*{name}\s*<", sweep)) == 2 * panels, name

    # Without the summary's per-window checks the page names the per-frame flags
    # from the dump and says the checks are not available: it never redoes them.
    fit_names = {"dcc_deviation", "not_monotonic", "pd_range_low", "peak_at_end"}
    frame_only = {w: [n for n in names if n not in fit_names] for w, names in flagged.items()}
    frame_only = {w: names for w, names in frame_only.items() if names}
    assert frame_only and frame_only != flagged
    no_checks = root / "no-checks"
    shutil.copytree(out, no_checks)
    summary = json.loads((no_checks / "summary.json").read_text())
    del summary["fit_flags"]
    (no_checks / "summary.json").write_text(json.dumps(summary))
    _, text = report(no_checks)
    assert page_flags(text) == frame_only
    assert "checks per window: not available (summary.json has no fit_flags)." in text

    # A broken folder: no summary, a block that fails its checksum. The page
    # still names the per-frame flags, from the dump alone, and what is wrong.
    broken = root / "broken"
    shutil.copytree(out, broken)
    (broken / "summary.json").unlink()
    block = bytearray((broken / "calibration_block.bin").read_bytes())
    block[10] ^= 0x01
    (broken / "calibration_block.bin").write_bytes(bytes(block))
    _, text = report(broken, "--out", str(root / "broken.html"))
    assert page_flags(text) == frame_only
    files = section(text, "files")
    assert re.search(r"summary\.json</code></td><td>[^<]*</td><td><span class=\"missing\">",
                     files)
    assert re.search(r"calibration_block\.bin</code></td><td>[^<]*</td><td><span "
                     r"class=\"fail\">unreadable</span>[^<]*checksum", files)

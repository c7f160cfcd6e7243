"""The verdict banner at the top of the report: PASS or FAIL against the
acceptance limits, the root cause in plain words, the failing checks as value
against limit (the consequences of the root cause apart), the checks that
could not run, and the truth checks beside them. All of it as verdict.json
states it; the page judges nothing itself."""

from .. import page
from ..page import Html, escape
from ..status import meaning

HOW_TO_GET_ONE = "orvane calibrate MANIFEST --out DIR --acceptance FILE"

CSS = """
.verdict { border: 2px solid var(--line); border-radius: 6px; padding: .6rem 1rem .4rem;
           margin: .6rem 0 1.2rem; }
.verdict.is-pass { border-color: var(--ok); background: #f3faf5; }
.verdict.is-fail { border-color: var(--bad); background: #fdf4f3; }
.verdict.is-none { border-color: var(--warn); background: #fffaf0; }
.verdict .word { font-size: 1.6rem; font-weight: 700; margin-right: .6rem; }
.verdict.is-pass .word { color: var(--ok); }
.verdict.is-fail .word { color: var(--bad); }
.verdict.is-none .word { color: var(--warn); }
.verdict .cause { font-size: 1.05rem; margin: .3rem 0; }
.consequence, .not-run, .allowed { display: inline-block; padding: 0 .4em; border-radius: 3px;
         font-size: .85em; font-family: ui-monospace, "DejaVu Sans Mono", monospace; }
.consequence { background: #ece6f5; color: #4b2e83; }
.not-run { background: #e8eaed; color: var(--muted); font-weight: 600; }
.allowed { background: #fde7c8; color: var(--warn); }
"""

_STATUS = {
    "pass": '<span class="pass">pass</span>',
    "fail": '<span class="fail">FAIL</span>',
    "not_run": '<span class="not-run">not run</span>',
    "allowed": '<span class="allowed">allowed</span>',
}


def _status(check):
    word = _STATUS.get(check.get("status"), f'<span class="missing">'
                       f'{escape(check.get("status", "?"))}</span>')
    if check.get("status") == "fail" and check.get("consequence"):
        word += ' <span class="consequence">consequence</span>'
    return Html(word)


def _number(v):
    if v is None:
        return "-"
    if isinstance(v, list):
        return " .. ".join(_number(x) for x in v)
    return f"{v:.4g}" if isinstance(v, float) else str(v)


def _limit(check):
    if check.get("limit") is None:
        return "-"
    rel = check.get("relation") or ""
    text = f"{rel} {_number(check['limit'])}".strip()
    return f"{text} {check['unit']}" if check.get("unit") else text


def _windows(check):
    ws = check.get("windows") or []
    return ("windows " + " ".join(str(w) for w in ws)) if ws else ""


def _check_rows(checks, stages):
    return [[Html(f"<code>{escape(c.get('name', '?'))}</code>"),
             stages.get(c.get("stage"), c.get("stage", "")), _status(c), _number(c.get("value")),
             _limit(c), "; ".join(x for x in (c.get("text", ""), _windows(c)) if x)]
            for c in checks]


_HEAD = ["check", "stage", "status", "value", "limit", "what it says"]


def _flag_meaning(check):
    """What the flag behind a check "<stage>.flag.<name>" means, or ""."""
    name = str(check.get("name", ""))
    return meaning(name.split(".flag.", 1)[1]) if ".flag." in name else ""


def _list(checks, cls):
    items = []
    for c in checks:
        extra = [x for x in (_windows(c), _flag_meaning(c)) if x]
        items.append(f'<li><span class="{cls}">{escape(c.get("name", "?"))}</span> '
                     f'{escape(c.get("text", ""))}'
                     + (f' <span class="muted">({escape("; ".join(extra))})</span>' if extra
                        else "") + "</li>")
    return Html("<ul>" + "".join(items) + "</ul>")


def _truth(v, stages):
    t = v.get("truth")
    if not isinstance(t, dict):
        return Html('<p class="muted">No ground truth with this module: no truth checks.</p>')
    word = '<span class="pass">PASS</span>' if t.get("pass") else '<span class="fail">FAIL</span>'
    checks = [c for c in t.get("checks") or [] if isinstance(c, dict)]
    return Html(f"<h3>Against the ground truth {word}</h3>"
                + page.table(_HEAD, _check_rows(checks, stages), cls="truth-checks"))


def banner(folder):
    """The verdict banner of an output folder (a report.model.Folder)."""
    v = folder.verdict
    if v is None:
        word, detail = folder.state_of.get("verdict.json", ("missing", ""))
        why = ("this folder has no <code>verdict.json</code>" if word == "missing"
               else f"<code>verdict.json</code> does not read ({escape(detail)})")
        return Html(f'<div class="verdict is-none" id="verdict"><span class="word">No verdict'
                    f'</span><p class="cause">Nothing judged this module against acceptance '
                    f"limits: {why}. To get one: <code>{escape(HOW_TO_GET_ONE)}</code> (without "
                    "<code>--acceptance</code> the default limits apply).</p>"
                    "</div>")
    stages = {s.get("stage"): s.get("title", s.get("stage"))
              for s in v.get("stages") or [] if isinstance(s, dict)}
    checks = [c for c in v.get("checks") or [] if isinstance(c, dict)]
    failing = [c for c in checks if c.get("status") == "fail"]
    first = [c for c in failing if not c.get("consequence")]
    after = [c for c in failing if c.get("consequence")]
    not_run = [c for c in checks if c.get("status") == "not_run"]
    allowed = [c for c in checks if c.get("status") == "allowed"]
    ok = v.get("verdict") == "PASS"
    acceptance = v.get("acceptance") or "defaults"
    source = ("the default acceptance limits" if acceptance == "defaults"
              else f"the acceptance limits of <code>{escape(acceptance)}</code>")
    out = [f'<div class="verdict {"is-pass" if ok else "is-fail"}" id="verdict">'
           f'<span class="word">{"PASS" if ok else "FAIL"}</span>'
           f'<span class="muted">against {source}: {len(checks)} checks, {len(failing)} failing, '
           f"{len(not_run)} not run</span>"]
    rc = v.get("root_cause")
    if not ok and isinstance(rc, dict):
        out.append(f'<p class="cause"><b>Root cause: {escape(rc.get("title", rc.get("stage")))}'
                   f'</b>. {escape(rc.get("text", ""))}</p>')
    left = []
    if first:
        left.append("<h3>What failed first</h3>" + _list(first, "fail"))
    if after:
        left.append("<h3>What followed from it (consequences, not further causes)</h3>"
                    + _list(after, "consequence"))
    if not_run:
        left.append("<h3>Not run (neither passed nor failed)</h3>" + _list(not_run, "not-run"))
    if allowed:
        left.append("<h3>Raised, and allowed by the acceptance limits</h3>"
                    + _list(allowed, "allowed"))
    if not left:
        left.append(f"<p>Every check that ran passed ({len(checks)} checks).</p>")
    out.append(f'<div class="grid2"><div>{"".join(left)}</div><div>{_truth(v, stages)}</div>'
               "</div>")
    out.append("<details><summary>Every check</summary>"
               + page.table(_HEAD, _check_rows(checks, stages), cls="checks") + "</details>")
    out.append("</div>")
    return Html("".join(out))

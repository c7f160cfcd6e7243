"""Small helpers for self-contained HTML pages: escaping, tables, matplotlib
figures embedded inline (SVG, or PNG as a data URL) and the page skeleton
with a stylesheet that reads at a laptop's width and prints cleanly.

Nothing on a page refers to another file or to the network, so a page opens
offline and can be mailed as it is. Figures are built on
matplotlib.figure.Figure (no pyplot state); `figure()` renders and embeds one.
"""

import base64
import html
import io
import re

import matplotlib

__all__ = ["Html", "escape", "table", "figure", "document", "write"]


class Html(str):
    """Text that is already HTML: escape() and table() take it as it is."""


def escape(value):
    """`value` as HTML text (quotes escaped too), unless it is Html already."""
    if isinstance(value, Html):
        return value
    return Html(html.escape(str(value), quote=True))


def table(header, rows, cls=None):
    """An HTML table: `header` a list of column titles, `rows` lists of cells.
    Cells are escaped unless they are Html; numeric columns align right."""
    out = [f'<table class="{escape(cls)}">' if cls else "<table>", "<thead><tr>"]
    out += [f"<th>{escape(h)}</th>" for h in header]
    out.append("</tr></thead><tbody>")
    for row in rows:
        cells = []
        for cell in row:
            number = isinstance(cell, (int, float)) and not isinstance(cell, bool)
            cells.append(f'<td class="num">{escape(cell)}</td>' if number
                         else f"<td>{escape(cell)}</td>")
        out.append("<tr>" + "".join(cells) + "</tr>")
    out.append("</tbody></table>")
    return Html("".join(out))


_figures = 0


def figure(fig, caption=None, alt=None, fmt="svg", dpi=100):
    """Renders a matplotlib Figure into an HTML <figure> (inline SVG, or a PNG
    data URL with fmt="png") with an optional caption, and clears the Figure.

    SVG keeps text as text and scales for print; PNG suits dense images. The
    SVG's element ids are salted per figure so that several figures on one
    page never share an id, and no date is written, so a page is the same
    bytes for the same data.
    """
    global _figures
    _figures += 1
    buf = io.BytesIO()
    label = escape(alt or caption or "figure")
    if fmt == "svg":
        with matplotlib.rc_context({"svg.fonttype": "none", "svg.hashsalt": f"fig{_figures}"}):
            fig.savefig(buf, format="svg", metadata={"Date": None})
        text = buf.getvalue().decode("utf-8")
        text = text[text.index("<svg"):]  # no XML prolog or doctype inside HTML
        text = re.sub(r"<metadata>.*?</metadata>\s*", "", text, count=1, flags=re.S)
        # Fixed pt sizes become a scalable box: the CSS sets the width.
        text = re.sub(r'<svg([^>]*?) width="[^"]*" height="[^"]*"', r"<svg\1", text, count=1)
        body = text.replace("<svg", f'<svg role="img" aria-label="{label}"', 1)
    elif fmt == "png":
        fig.savefig(buf, format="png", dpi=dpi, metadata={"Software": None})
        data = base64.b64encode(buf.getvalue()).decode("ascii")
        body = f'<img alt="{label}" src="data:image/png;base64,{data}">'
    else:
        raise ValueError(f"figure: format '{fmt}' is not svg or png")
    fig.clear()
    cap = f"<figcaption>{escape(caption)}</figcaption>" if caption else ""
    return Html(f'<figure class="plot">{body}{cap}</figure>')


_CSS = """
:root { --ink: #1b1f24; --muted: #5b6470; --line: #d5dae0; --bad: #b3261e; --ok: #1e6b35;
        --warn: #8a5a00; }
* { box-sizing: border-box; }
body { font: 15px/1.45 system-ui, -apple-system, "Segoe UI", "DejaVu Sans", sans-serif;
       color: var(--ink); margin: 0 auto; padding: 1.2rem 1.5rem 3rem; max-width: 1200px; }
h1 { font-size: 1.5rem; margin: 0 0 .3rem; }
h2 { font-size: 1.2rem; margin: 2rem 0 .5rem; border-bottom: 1px solid var(--line);
     padding-bottom: .2rem; }
h3 { font-size: 1rem; margin: 1.2rem 0 .4rem; }
p, li { max-width: 75ch; }
.muted { color: var(--muted); }
table { border-collapse: collapse; margin: .5rem 0 1rem; font-size: .9rem; }
th, td { border: 1px solid var(--line); padding: .2rem .5rem; text-align: left;
         vertical-align: top; }
th { background: #f1f3f5; }
table.facts th { white-space: nowrap; font-weight: 600; }
td { overflow-wrap: anywhere; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
figure.plot { margin: .8rem 0 1.4rem; }
figure.plot svg, figure.plot img { display: block; width: 100%; height: auto; max-width: 100%; }
figcaption { color: var(--muted); font-size: .85rem; margin-top: .3rem; max-width: 90ch; }
.grid2 { display: grid; grid-template-columns: repeat(auto-fit, minmax(420px, 1fr));
         gap: 0 1.5rem; }
.grid2 > * { min-width: 0; }
.flag, .pass, .fail, .missing { display: inline-block; padding: 0 .4em; border-radius: 3px;
         font-family: ui-monospace, "DejaVu Sans Mono", monospace; font-size: .85em; }
.flag { background: #fde7c8; color: var(--warn); }
.pass { background: #d8f0de; color: var(--ok); font-weight: 600; }
.fail, .missing { background: #f9d6d3; color: var(--bad); font-weight: 600; }
code { font-family: ui-monospace, "DejaVu Sans Mono", monospace; font-size: .9em; }
@media print {
  body { max-width: none; padding: 0; font-size: 10pt; }
  h2 { break-after: avoid; }
  figure.plot, table { break-inside: avoid; }
  .grid2 { display: block; }
  @page { size: A4; margin: 14mm; }
}
"""


def document(title, body, css=""):
    """A whole HTML page: `title` (text), `body` (HTML), `css` added after
    the shared stylesheet."""
    return Html(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<link rel=\"icon\" href=\"data:,\">\n"
        f"<title>{escape(title)}</title>\n<style>{_CSS}{css}</style>\n</head>\n"
        f"<body>\n{body}\n</body>\n</html>\n")


def write(path, page):
    """Writes a page as UTF-8 and returns the path."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(page)
    return path

"""The calibration report: one self-contained HTML page of an output folder of
`orvane demo` or `orvane calibrate` (blocks, state dump, JSON records,
summary, truth and verification when present).

    /usr/bin/python3 -m orvane.report DIR [--out FILE]      # default DIR/report.html

The page renders what the tool and the library wrote, read through the
package's own readers; a missing or broken file is named on the page and the
sections that need it say so, so a folder of a failed or flagged calibration
still gets its report.

model: the folder's files and the calibration they describe; verdict: the
banner of verdict.json at the top; figures and tables: what the sections show;
command: the page and its command line.
"""

from .command import build, main
from .model import Folder
from .tables import MEANING

__all__ = ["Folder", "build", "main", "MEANING"]

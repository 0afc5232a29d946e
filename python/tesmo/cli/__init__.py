"""The ``tesmo`` command line: demo, train, generate, inspect, convert and merge.

Every command reports a failure as one line on stderr and exits with status 2
(``generate`` with 1 when it printed some of the sentences asked for).
Messages and progress bars go to stderr, so stdout carries only a command's
product: a model written to "-", generated text, a report.

``app`` runs a command and is the one place that turns its failures into that
line and status; ``parser`` builds the arguments and ``preflight`` checks,
before any work, what the command will read and write; each command has a
module of its own. ``document`` and ``scanner`` check a model's head as it
streams in, ``models`` reads and writes models, ``corpora`` reads text
for training and the novelty check, ``atomic`` replaces a file
only once its new content is complete, ``signals`` handles Ctrl-C and
SIGTERM, and ``progress``, ``output``, ``workers`` and ``errors`` hold the
bars, stdout, the --jobs workers and the error text.
"""

from tesmo.cli.app import main
from tesmo.cli.parser import build_parser

__all__ = ["build_parser", "main"]

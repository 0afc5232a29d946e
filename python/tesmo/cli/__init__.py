"""The ``tesmo`` command line: demo, train, generate, inspect, convert and merge.

Every command reports a failure as one line on stderr and exits with status 2.
Messages and progress bars go to stderr, so stdout carries only a command's
product: a model written to "-", generated text, a report.

``app`` runs a command and is the one place that turns its failures into that
line and status; ``parser`` builds the arguments; each command has a module of
its own; ``document`` checks what the streaming reader reads, ``models`` reads
and writes models, ``atomic`` replaces a file only once its new content is
complete, and ``progress`` draws the bars.
"""

from tesmo.cli.app import main
from tesmo.cli.parser import build_parser

__all__ = ["build_parser", "main"]

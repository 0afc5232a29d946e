"""Run the command line: ``python -m tesmo``."""

from tesmo.cli import main

raise SystemExit(main())

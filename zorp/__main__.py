"""`python -m zorp`: the command line."""

from zorp.cli import main

raise SystemExit(main())

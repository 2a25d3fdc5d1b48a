"""``python -m orvo.field``: the ``orvo-field`` command."""

from __future__ import annotations

import sys

from orvo.field.cli import main

sys.exit(main())

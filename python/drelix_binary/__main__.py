"""`python -m drelix_binary` is the `drelix` command."""

import sys

from .cli import main

sys.exit(main())

"""`python -m zox_service`: runs the command line and leaves without interpreter shutdown."""
import os
import sys

from .cli import main

code = main()
sys.stdout.flush()
sys.stderr.flush()
# Solves in progress cannot be interrupted and their results would be lost anyway: leave without
# waiting for them, and without running interpreter shutdown under their feet.
os._exit(code)

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from fixtures import case, no_leftovers, tool  # noqa: E402,F401

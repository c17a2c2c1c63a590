import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

from fixtures import case, no_leftovers  # noqa: E402,F401

import sys
from pathlib import Path

# The way into Wine, the throwaway certificates, the play links and the release's own code, for
# every test folder.
ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / folder) for folder in ("winehost", "tests/release", "tests/browsers", "packaging")]

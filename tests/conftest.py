import sys
from pathlib import Path

# The way into Wine, the throwaway certificates and the release's own code, for every test folder.
ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "winehost"), str(ROOT / "tests" / "release"), str(ROOT / "tests" / "browsers"), str(ROOT / "packaging")]

import sys
from pathlib import Path

# The way into Wine, and the throwaway certificates, for every test folder.
ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "winehost"), str(ROOT / "tests" / "release")]

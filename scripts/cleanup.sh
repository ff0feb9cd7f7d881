# Sourced by the commands that run Wine. Whether they pass, fail or are interrupted, they end
# every process they started, with those processes' own children, and the Wine server of their
# prefix, which Wine detaches from them; then their folder $work goes. Long steps run through
# `run`, so that an interruption is heard at once instead of after the step.
work=$(mktemp -d)
export VELMORA_WINE_DIR="$work/wine"

descendants() {
  local child
  for child in $(ps -o pid= --ppid "$1"); do
    echo "$child"
    descendants "$child"
  done
}

end_everything() {
  trap '' INT TERM
  local frozen=" " more=1 pid
  # Frozen before they are ended, so that none starts another process unseen meanwhile. The
  # processes that read the tree are gone by the time they would be frozen.
  while [ -n "$more" ]; do
    more=""
    for pid in $(descendants $$); do
      case "$frozen" in *" $pid "*) continue ;; esac
      kill -STOP "$pid" 2>/dev/null || continue
      frozen="$frozen$pid "
      more=1
    done
  done
  for pid in $frozen; do kill -TERM "$pid" 2>/dev/null && kill -CONT "$pid" 2>/dev/null || true; done
  for prefix in "$VELMORA_WINE_DIR"*/prefix; do
    [ -d "$prefix" ] && { WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true; }
  done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap end_everything EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

run() { "$@" & wait $!; }

# Sourced by the screenshot scripts: a scratch folder `work` removed at exit (KEEP=1 keeps
# it), the processes in `pids` ended at exit in reverse order, wait_for, and a private
# Xvfb display exported as DISPLAY. `shot_name` names the script in its messages.

work="$(mktemp -d)"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# wait_for SECONDS COMMAND...: polls until the command succeeds.
wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@"; do
    ((SECONDS < end)) || { echo "$shot_name: timed out waiting for: $*" >&2; return 1; }
    sleep 0.2
  done
}

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 10 grep -q . "$work/display"
export DISPLAY=":$(head -n1 "$work/display")"

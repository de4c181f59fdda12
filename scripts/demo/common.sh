# Sourced by the demo's commands: --help prints the command's own header;
# otherwise finds the running demo shop and offers the checks and waits the
# commands use, so that none of them claims what did not happen.
#
# DEMO_WAIT_S (default 15): how long a command waits for the shop to show
# the result (a picture printed, the order window, the cloud's answer).
me="$(basename "$0")"
case "${1:-}" in
  --help|-h)
    # The comment block under the shebang is the command's help.
    sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"
    exit 0
    ;;
esac
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
demo="${TILLCAST_DEMO_DIR:-$root/build/demo}"
if [ ! -f "$demo/env" ]; then
  echo "$me: no demo shop in $demo: start it with scripts/run" >&2
  exit 1
fi
# shellcheck disable=SC1091
. "$demo/env"
wait_s="${DEMO_WAIT_S:-15}"

fail() {
  echo "$me: $*" >&2
  exit 1
}

down() {
  fail "$1 is not running, so the demo shop is not up: start it with scripts/run (or run tillcast-doctor to see what is wrong)"
}

need_agent() {
  "$TILLCAST_BIN/tillcast-send" --ping >/dev/null 2>&1 || down "the agent (nothing answers at $TILLCAST_IPC_SOCKET)"
}

need_redis() {
  [ "$(redis-cli -h 127.0.0.1 -p "$DEMO_REDIS_PORT" ping 2>/dev/null)" = PONG ] \
    || down "Redis (127.0.0.1:$DEMO_REDIS_PORT)"
}

need_cloud() {
  python3 - "$DEMO_CLOUD_URL/sim/health" <<'PY' >/dev/null 2>&1 || down "the cloud simulator ($DEMO_CLOUD_URL)"
import sys, urllib.request
urllib.request.urlopen(sys.argv[1], timeout=3).read()
PY
}

need_till_port() {
  [ -c "$DEMO_TILL_PORT" ] || down "the capture driver (the till port $DEMO_TILL_PORT is not there)"
}

# The newest picture of the virtual printer (or of the one printing into
# the folder $1), "" when none.
newest_print() {
  local f last=""
  for f in "${1:-$DEMO_PRINTS}"/*.png; do
    if [ -e "$f" ]; then last="$f"; fi
  done
  printf '%s' "$last"
}

# Waits for a picture after `before` (newest_print's answer earlier; $2 the
# printer's folder as for newest_print); prints its name, or returns 1 after
# wait_s seconds.
wait_new_print() {
  local before="$1" folder="${2:-$DEMO_PRINTS}" now i
  for ((i = 0; i < wait_s * 10; i++)); do
    now="$(newest_print "$folder")"
    if [ -n "$now" ] && [ "$now" != "$before" ]; then
      printf '%s' "$now"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# Uploads the cloud has received from the demo device so far (its folder
# appears with the first one); wait_upload waits until there are more than
# $1, or returns 1 after wait_s seconds.
count_uploads() { { find "$DEMO_UPLOADS" -type f -name '*.dat' 2>/dev/null || true; } | wc -l; }
wait_upload() {
  local before="$1" i
  for ((i = 0; i < wait_s * 10; i++)); do
    [ "$(count_uploads)" -gt "$before" ] && return 0
    sleep 0.1
  done
  return 1
}

# The cloud simulator's log from byte `offset` on: waits for a line with
# `what` (e.g. "order O1: "), prints its rest, or returns 1 after wait_s.
cloud_log_size() { stat -c %s "$DEMO_CLOUD_LOG" 2>/dev/null || echo 0; }
wait_cloud_answer() {
  local offset="$1" what="$2" line i
  for ((i = 0; i < wait_s * 10; i++)); do
    line="$(tail -c +"$((offset + 1))" "$DEMO_CLOUD_LOG" 2>/dev/null | grep -F -- "cloudsim: $what" | head -n 1)"
    if [ -n "$line" ]; then
      printf '%s' "${line#*"cloudsim: $what"}"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# The text of a demo sale receipt numbered $1 (UTF-8).
sale_text() {
  printf '演示门店\n小票号 %s\n时间 %s\n矿泉水 x2            5.00\n三明治 x1           31.50\n合计：36.50\n实收：40.00  找零：3.50\n谢谢惠顾\n' \
    "$1" "$(date '+%F %T')"
}

# ESC/POS bytes of a receipt text (UTF-8 in, GBK out) as POS software prints:
# reset, Chinese mode, the first line centred in double size, then plain
# text with parameter bytes of zero, feed and cut.
escpos_receipt() {
  local text="$1" head body
  head="${text%%$'\n'*}"
  body="${text#*$'\n'}"
  printf '\033@\034&\033a\001\035!\021'
  printf '%s\n' "$head" | iconv -f UTF-8 -t GBK
  printf '\035!\000\033a\000\033!\000'
  printf '%s\n' "$body" | iconv -f UTF-8 -t GBK
  printf '\033d\003\035V\102\000'     # feed three lines and cut
}

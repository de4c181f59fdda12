# Sourced by the demo's commands: finds the running demo shop.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
demo="${TILLCAST_DEMO_DIR:-$root/build/demo}"
if [ ! -f "$demo/env" ]; then
  echo "no demo shop in $demo: start it with scripts/run" >&2
  exit 1
fi
# shellcheck disable=SC1091
. "$demo/env"

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

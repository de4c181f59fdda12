# Sourced by the demo's commands: finds the running demo shop.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
demo="${TILLCAST_DEMO_DIR:-$root/build/demo}"
if [ ! -f "$demo/env" ]; then
  echo "no demo shop in $demo: start it with scripts/run" >&2
  exit 1
fi
# shellcheck disable=SC1091
. "$demo/env"

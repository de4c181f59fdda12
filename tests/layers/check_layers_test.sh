#!/usr/bin/env bash
# The layering check finds what breaks the layers and lets the rest pass.
set -u
check="$1/scripts/check-layers"
failures=0

expect() {  # expect <exit> <path> <text> [<output substring>]
  local want="$1" path="$2" text="$3" says="${4:-}"
  local out rc
  out="$(printf '%s\n' "$text" | python3 "$check" --stdin-as "$path")"
  rc=$?
  if [ "$rc" -ne "$want" ] || { [ -n "$says" ] && [[ "$out" != *"$says"* ]]; }; then
    echo "FAILED: $path with '$text': exit $rc (wanted $want), said: $out"
    failures=$((failures + 1))
  fi
}

# A module including one above it, or a peer outside the table.
expect 1 src/data/x.cc '#include "ui/login_wnd.h"' "a module above it"
expect 1 src/base/x.cc '#include "data/data_mgr.h"' "a module above it"
expect 1 src/print/x.cc '#include "net/net_mgr.h"' "its peer"
expect 1 src/capture/x.cc '#include "scanner/keyboard_filter.h"' "its peer"
expect 1 src/platform/x.cc '#include "base/log.h"' "includes only itself"
expect 1 src/ui/x.cc '#include "app/startup.h"' "a module above it"
# OS headers stay in the platform layer (and its *_posix backends).
expect 1 src/net/x.cc '#include <unistd.h>' "OS header"
expect 1 src/data/x.h '#  include <sys/socket.h>' "OS header"
expect 0 src/capture/x_posix.cc '#include <sys/socket.h>'
expect 0 src/platform/x.cc '#include <sys/socket.h>'
# Programs beside the agent include only what they are allowed.
expect 1 vprinter/x.cc '#include "net/net_mgr.h"' "may not include"
expect 1 serialfilter/x.cc '#include "ui/toolkit.h"' "may not include"
# What the layers allow.
expect 0 src/print/x.cc '#include "data/data_mgr.h"'
expect 0 src/app/x.cc '#include "ui/login_wnd.h"'
expect 0 src/ui/x.cc '#include "capture/capture_road.h"'
expect 0 src/net/x.cc '#include <string>'
expect 0 tests/net/x.cc '#include "app/startup.h"'
# The tree as it is keeps them.
if ! python3 "$check" >/dev/null; then
  python3 "$check" | tail -20
  echo "FAILED: the tree breaks the layers"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] && echo "all layering cases hold"
exit $((failures > 0))

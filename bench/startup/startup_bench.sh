#!/usr/bin/env bash
# Start-up to the main window shown, and peak memory, of Varnel Utility against a bare Qt window,
# in the offscreen platform, in a private network namespace with only loopback (so the search
# sends nothing beyond the machine). Aim: within 1.3x of the bare program on both.
#   bench/startup/startup_bench.sh [build-dir] [runs]
set -euo pipefail
build=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build-main}
runs=${2:-15}
bin=$build/bench/startup
export QT_QPA_PLATFORM=offscreen

measure() {  # program -> "median_ms median_kb"
    local program=$1 out
    out=$(unshare -n sh -c "ip link set lo up; for i in \$(seq $runs); do '$program'; done" 2>/dev/null)
    echo "$out" | python3 -c '
import re, statistics, sys
rows = [tuple(map(float, re.findall(r"=([0-9.]+)", line))) for line in sys.stdin if "shown_ms" in line]
print(statistics.median(r[0] for r in rows), statistics.median(r[1] for r in rows))'
}

read -r bare_ms bare_kb < <(measure "$bin/startup-bare")
read -r app_ms app_kb < <(measure "$bin/startup-utility")
python3 - "$bare_ms" "$bare_kb" "$app_ms" "$app_kb" <<'PY'
import sys
bare_ms, bare_kb, app_ms, app_kb = map(float, sys.argv[1:])
print(f"bare window:    {bare_ms:8.1f} ms  {bare_kb:8.0f} KiB")
print(f"Varnel Utility: {app_ms:8.1f} ms  {app_kb:8.0f} KiB")
print(f"ratio:          {app_ms / bare_ms:8.2f}x    {app_kb / bare_kb:8.2f}x   (aim: at most 1.3x)")
PY

#!/usr/bin/env bash
# Soak: the service built with AddressSanitizer and UndefinedBehaviorSanitizer polls 300 one-minute
# reports (six objects each) of a private snmpd with no pacing (PollDelaySnmp 0, MaxPendSnmp 300) on
# the real clock for --minutes N (default 60). Every minute it samples the service's resident
# memory, descriptors, CPU time and sample rows. Checks: 300 rows for every whole minute of the
# run, resident memory flat over the second half, descriptors unchanged, no error event, a clean
# stop with no leak reported by LeakSanitizer and no sanitizer report at all.
# Usage: scripts/reliability/soak.sh [--minutes N]
source "$(dirname "$0")/lib.sh"

minutes=60
while (($#)); do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    *) echo "usage: $0 [--minutes N]" >&2; exit 2 ;;
  esac
done
reports=300
base=28200

rel_begin soak
rel_build asan
rel_snmpd $((base + 3))
rel_install "$REL_WORK/inst" $base PollDelaySnmp=0 MaxPendSnmp=300
rel_add_reports $reports $((base + 3))

# A small quarantine, so that freed memory held back by AddressSanitizer reaches its ceiling within
# the first minutes and the resident memory of the second half shows the service's own growth.
export ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=16:malloc_context_size=10
export UBSAN_OPTIONS=print_stacktrace=1
rel_start
start_epoch=$(date +%s)
first_minute=$((((start_epoch + 8) / 60 + 1) * 60))
rel_wait_minute 45
fds_start=$(rel_fds "$REL_PID")
cpu_start=$(rel_cpu_ticks "$REL_PID")

rss=()
echo "minute rss_kb fds rows"
for ((i = 1; i <= minutes; i++)); do
  kill -0 "$REL_PID" 2>/dev/null || break
  rss+=("$(rel_rss_kb "$REL_PID")")
  echo "$i ${rss[-1]} $(rel_fds "$REL_PID") $(rel_rows)"
  if ((i < minutes)); then rel_wait_minute 45; fi
done
alive=0
kill -0 "$REL_PID" 2>/dev/null || alive=1
rel_check alive "$alive" "service running after $minutes minutes"
cpu_end=$(rel_cpu_ticks "$REL_PID")
fds_end=$(rel_fds "$REL_PID")
end_epoch=$(date +%s)
last_minute=$(((end_epoch / 60) * 60))
rel_stop

# Rows per minute of the grid: every whole minute between the first and the last must have all.
per_minute=$(rel_sql "SELECT strftime('%s', substr(Time, 1, 16) || ':00') AS m, count(*),
  max(CAST(substr(Time, 18, 2) AS int)) FROM TrendData1 GROUP BY m ORDER BY m")
short=0 minutes_seen=0 latest=0
while IFS='|' read -r m n late; do
  if ((m < first_minute || m >= last_minute)); then continue; fi
  minutes_seen=$((minutes_seen + 1))
  if ((n < reports)); then
    short=$((short + 1))
    echo "minute $(date -d "@$m" +%H:%M): $n rows"
  fi
  if ((late > latest)); then latest=$late; fi
done <<<"$per_minute"
expected=$(((last_minute - first_minute) / 60))
rel_figure minutes_with_rows "$minutes_seen/$expected"
rel_figure latest_row_second "$latest"
rel_expect rows_every_minute "minutes_seen >= expected && short == 0" \
  "$minutes_seen of $expected minutes recorded, $short short of $reports rows"

n=${#rss[@]}
half=${rss[$((n / 2))]}
last=${rss[-1]}
rel_figure rss_kb_first "${rss[0]}"
rel_figure rss_kb_half "$half"
rel_figure rss_kb_last "$last"
rel_expect rss_flat "last - half <= 2048 + half / 50" "second half grew $((last - half)) kB"
rel_figure fds "$fds_start/$fds_end"
rel_expect fds_unchanged "fds_end == fds_start" "descriptors $fds_start then $fds_end"
hz=$(rel_hz)
busy=$(((cpu_end - cpu_start) * 1000 / hz))
rel_figure cpu_ms_per_minute "$((busy / (n > 0 ? n : 1)))"

errors=$(rel_errors_since 1)
rel_check no_error_events "$([[ -z "$errors" ]] && echo 0 || echo 1)" "$(printf '%s' "$errors" | head -5)"
rel_expect clean_exit "REL_EXIT == 0" "exit status $REL_EXIT"
sanitizer=$(grep -E 'LeakSanitizer|AddressSanitizer|runtime error' "$REL_DIR/service.log" || true)
rel_check no_sanitizer_report "$([[ -z "$sanitizer" ]] && echo 0 || echo 1)" \
  "$(printf '%s' "$sanitizer" | head -5)"
rel_finish

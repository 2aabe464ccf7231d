#!/usr/bin/env bash
# The suite database fails while the service polls 50 one-minute reports of a private snmpd:
#   lock     the SQLite file held by another writer (sqlite3 with BEGIN EXCLUSIVE) for 60 s;
#   removed  the SQLite file removed for 60 s, then put back as it was.
# Each fault covers one poll of the grid; the minute after it must record again. Checks per fault:
# the service runs on and its agent answers, the answers it drops are one error event (the other
# procedures that read the database every 30 s add theirs), the descriptors after the fault are
# those before it, and the next minute records every report. Figures: rows lost, error events,
# descriptors.
# Takes about 6 minutes.
# Usage: scripts/reliability/db-faults.sh
source "$(dirname "$0")/lib.sh"

reports=50
base=28210

rel_begin db-faults
rel_build
rel_snmpd $((base + 3))
rel_install "$REL_WORK/inst" $base
rel_add_reports $reports $((base + 3)) 2 1
db=$REL_DIR/Quorlan-suite.db

# lock_fault: holds an exclusive lock on the suite database for 60 s.
lock_fault() {
  { echo "BEGIN EXCLUSIVE;"; sleep 60; echo "COMMIT;"; } | sqlite3 "$db"
}

# removed_fault: removes the suite database for 60 s and puts the same bytes back.
removed_fault() {
  cp "$db" "$REL_WORK/suite-copy.db"
  rm "$db"
  sleep 60
  cp "$REL_WORK/suite-copy.db" "$db"
}

rows_in_minute() { rel_sql "SELECT count(*) FROM TrendData1 WHERE Time LIKE '$1%'"; }
minute_of() { date -d "@$1" '+%Y-%m-%d %H:%M'; }

rel_start
rel_wait_minute 30
fds_first=$(rel_fds "$REL_PID")
for fault in lock removed; do
  rel_wait_minute 50
  fds_before=$(rel_fds "$REL_PID")
  events_before=$(rel_events)
  faulted=$(minute_of $(($(date +%s) + 15)))
  rel_log "$fault: from now for 60 s (covers the poll of $faulted)"
  "${fault}_fault"
  rel_wait_minute 30
  rel_check "${fault}_alive" "$(rel_status kill -0 "$REL_PID")" "the service runs"
  rel_check "${fault}_agent" "$(rel_status rel_agent_get 1.3.6.1.2.1.1.3.0)" "its agent answers"
  recovered=$(minute_of $(($(date +%s) - 30)))
  lost=$((reports - $(rows_in_minute "$faulted")))
  after=$(rows_in_minute "$recovered")
  errors=$(rel_errors_since $((events_before + 1)))
  n_errors=$(printf '%s' "$errors" | grep -c . || true)
  n_answer_errors=$(printf '%s' "$errors" | awk -F'\t' '$3 ~ /_Response$/' | grep -c . || true)
  printf '%s\n' "$errors" | cut -f3- | cut -c1-160 | sort | uniq -c | sort -rn | head -5
  tail -n "+$((events_before + 1))" "$REL_DIR/Debug/T-AppEvent.txt" | awk -F'\t' '$2 == 3' |
    cut -f3- | cut -c1-200
  fds_after=$(rel_fds "$REL_PID")
  rel_figure "${fault}_rows_lost" "$lost"
  rel_figure "${fault}_error_events" "$n_errors"
  rel_figure "${fault}_fds" "$fds_before/$fds_after"
  rel_expect "${fault}_recorded_after" "after == reports" "$after of $reports rows at $recovered"
  rel_figure "${fault}_answer_error_events" "$n_answer_errors"
  rel_expect "${fault}_one_event" "n_answer_errors == 1" \
    "$n_answer_errors error events of the answers' handlers ($n_errors in all)"
  rel_expect "${fault}_no_fd_leak" "fds_after <= fds_before" "descriptors $fds_before then $fds_after"
done
fds_last=$(rel_fds "$REL_PID")
rel_figure fds_first_last "$fds_first/$fds_last"
rel_stop
rel_expect clean_exit "REL_EXIT == 0" "exit status $REL_EXIT"
rel_finish

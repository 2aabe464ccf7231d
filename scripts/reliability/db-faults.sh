#!/usr/bin/env bash
# The suite database fails while the service polls 50 one-minute reports of a private snmpd
# (all 50 requests sent at the first poll tick of each minute: TimerInterval 100, no pacing):
#   lock    the SQLite file held by another writer (sqlite3 with BEGIN EXCLUSIVE) for 60 s;
#   moved   the SQLite file moved away for 60 s, then moved back;
#   kill    the file locked again, the service killed with SIGKILL while its rows wait in the
#           spool, the lock released and the service started again;
#   silent  a second installation whose suite database is on a SQL Server (the TDS endpoint of
#           tests/support, answering from a SQLite file through FreeTDS) that stops answering
#           anything, logins included, for 60 s.
# Each fault covers one poll of the grid. Checks per fault: no row lost (every report has one row
# in each minute from the faulted one to the first after it) and none doubled, no send of the
# minutes polled during the fault later than 1 s after its minute began (T-SnmpPoll.txt, debug
# mode), the service runs on and its agent answers, recording turning to the spool is one error
# event and its replay one information event, and no descriptor leak. Figures: rows lost, the
# latest send, events, descriptors.
# Takes about 10 minutes.
# Usage: scripts/reliability/db-faults.sh
source "$(dirname "$0")/lib.sh"

reports=50
base=28210
ini=(TimerInterval=100 PollDelaySnmp=0 MaxPendSnmp=300)

rel_begin db-faults
rel_build
rel_build_in build fake_tds_server
rel_snmpd $((base + 3))

# install DIR: an embedded installation with the reports, in debug mode.
install() {
  rel_install "$1" $base "${ini[@]}"
  rel_add_reports $reports $((base + 3)) 2 1
  rel_sql "UPDATE Settings SET DebugMode = 1"
}

install "$REL_WORK/inst"
db=$REL_DIR/Quorlan-suite.db
# The time column as the database at hand writes it: "YYYY-MM-DD HH:MM" on SQLite, with a "T"
# on SQL Server.
time_sep=' '

lock_fault() { { echo "BEGIN EXCLUSIVE;"; sleep 60; echo "COMMIT;"; } | sqlite3 "$db"; }
moved_fault() {
  mv "$db" "$REL_WORK/suite-away.db"
  sleep 60
  mv "$REL_WORK/suite-away.db" "$db"
}
kill_fault() {
  { echo "BEGIN EXCLUSIVE;"; sleep 50; echo "COMMIT;"; } | sqlite3 "$db" &
  local locker=$!
  rel_wait_minute 8  # the minute's rows have gone to the spool
  local spooled
  spooled=$(find "$REL_DIR/Spool" -name '*.spool' 2>/dev/null | wc -l)
  rel_check kill_spooled "$( ((spooled > 0)) && echo 0 || echo 1)" "$spooled spool file(s)"
  kill -KILL "$REL_PID"
  wait "$REL_PID" 2>/dev/null || true
  wait "$locker"
  rel_start
}
silent_fault() {
  kill -USR1 "$fake_pid"
  sleep 60
  kill -USR2 "$fake_pid"
}

minute_of() { date -d "@$1" '+%Y-%m-%d %H:%M'; }
# rows_between FIRST LAST: rows per minute "count distinct" of the minutes FIRST..LAST (epoch s).
rows_check() {
  local first=$1 last=$2 lost=0 doubled=0 t m n d
  for ((t = first; t <= last; t += 60)); do
    m=$(minute_of "$t")
    m=${m/ /$time_sep}
    read -r n d <<<"$(rel_sql "SELECT count(*), count(DISTINCT ReportId) FROM TrendData1
      WHERE Time LIKE '$m%'" | tr '|' ' ')"
    lost=$((lost + reports - d))
    doubled=$((doubled + n - d))
  done
  echo "$lost $doubled"
}
# The latest send (" --> snmpPoll") after FROM (epoch s), in ms after the start of its minute.
latest_send_ms() {
  local from
  from=$(date -d "@$1" '+%Y-%m-%d %H:%M:%S')
  awk -F'\t' -v from="$from" '$2 == " --> snmpPoll" && $1 >= from {
      split(substr($1, 18), s, "."); ms = s[1] * 1000 + s[2]; if (ms > max) max = ms }
    END { print max + 0 }' "$REL_DIR/Debug/T-SnmpPoll.txt"
}
events_of() { tail -n "+$(($1 + 1))" "$REL_DIR/Debug/T-AppEvent.txt" | awk -F'\t' -v t="$2" \
  -v s="$3" '$2 == t && $3 ~ s' | grep -c . || true; }

# run_fault NAME: one fault from 30 s past a minute (the silent one from 3 s past).
run_fault() {
  local fault=$1
  rel_wait_minute "$([[ $fault == silent ]] && echo 3 || echo 30)"
  local fds_before events_before start faulted
  fds_before=$(rel_fds "$REL_PID")
  events_before=$(rel_events)
  start=$(date +%s)
  faulted=$(((start / 60 + 1) * 60))
  rel_log "$fault: from now for about 60 s (covers the poll of $(minute_of "$faulted"))"
  "${fault}_fault"
  rel_wait_minute 50  # the fault ended 20 s ago: a probe (every 15 s) has replayed the spool
  rel_check "${fault}_alive" "$(rel_status kill -0 "$REL_PID")" "the service runs"
  rel_check "${fault}_agent" "$(rel_status rel_agent_get 1.3.6.1.2.1.1.3.0)" "its agent answers"
  local last lost doubled latest spool_events replay_events fds_after
  last=$(($(date +%s) / 60 * 60))
  read -r lost doubled <<<"$(rows_check "$faulted" "$last")"
  latest=$(latest_send_ms "$start")
  spool_events=$(events_of "$events_before" 1 TrendSampleRecord)
  replay_events=$(events_of "$events_before" 3 TrendSampleRecord)
  tail -n "+$((events_before + 1))" "$REL_DIR/Debug/T-AppEvent.txt" | cut -f2- | cut -c1-200 |
    grep -v 'Not run: the suite database is out' || true
  fds_after=$(rel_fds "$REL_PID")
  rel_figure "${fault}_rows_lost" "$lost"
  rel_figure "${fault}_rows_doubled" "$doubled"
  [[ $fault == kill ]] || rel_figure "${fault}_latest_send_ms" "$latest"
  rel_figure "${fault}_fds" "$fds_before/$fds_after"
  rel_expect "${fault}_no_row_lost" "lost == 0 && doubled == 0" \
    "$lost lost, $doubled doubled from $(minute_of "$faulted") to $(minute_of "$last")"
  # The service started again after the kill has its traces anew: no send of the fault in them.
  [[ $fault == kill ]] ||
    rel_expect "${fault}_sends_on_time" "latest < 1000" "latest send ${latest} ms into its minute"
  rel_expect "${fault}_events" "spool_events == 1 && replay_events == 1" \
    "$spool_events error and $replay_events information event(s) of the recording"
  [[ $fault == kill ]] ||
    rel_expect "${fault}_no_fd_leak" "fds_after <= fds_before" \
      "descriptors $fds_before then $fds_after"
}

rel_start
rel_wait_minute 10  # a minute recorded: the recorder's connection is open before the faults
fds_first=$(rel_fds "$REL_PID")
run_fault lock
run_fault moved
run_fault kill
rel_stop
rel_expect clean_exit "REL_EXIT == 0" "exit status $REL_EXIT"

# The SQL Server installation: the same reports, its suite database behind the TDS endpoint.
install "$REL_WORK/inst-tds"
"$REL_ROOT/build/tests/fake_tds_server" "$REL_DIR/Quorlan-suite.db" $((base + 4)) \
  >"$REL_WORK/fake-tds.log" 2>&1 &
fake_pid=$!
REL_PIDS+=("$fake_pid")
sqlite3 "$REL_DIR/Quorlan.mdb" "UPDATE Settings_Console SET DbConnStringSql =
  'Driver=FreeTDS;Server=127.0.0.1;Port=$((base + 4));UID=sa;PWD=unused;TDS_Version=7.4'"
time_sep=T
# Started at 35 s past a minute, its settings reads (every 30 s from the end of the start) come
# at about 13 and 43 s past: a read that waits its 5 s connection time-out for the silent server
# never holds a minute's sends.
rel_wait_minute 35
rel_start
rel_wait_minute 10
run_fault silent
rel_stop
rel_expect clean_exit_tds "REL_EXIT == 0" "exit status $REL_EXIT"
rel_figure fds_first "$fds_first"
rel_finish

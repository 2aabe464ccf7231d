#!/usr/bin/env bash
# Floods against a running service that polls 50 one-minute reports of a private snmpd:
#   malformed  1,000,000 malformed datagrams to each of the agent's and both managers' ports;
#   community  100,000 SNMPv1 GetRequests to the agent with a wrong community;
#   change     20,000 Sets of the change code (1, 2, 3 in turn) with the write community;
#   state      1,000 Sets of ServiceState 1 (the trend list is rebuilt at most once per poll tick),
#              then one of 2 and 1.
# The first three floods start 5 s after a minute, while its polls go out; the restarts at 30 s. Checks: the service runs and its agent answers,
# resident memory after the floods within 10% (+4 MiB) of before, the event log grows by a bounded
# number of lines (the managers summarise bad packets per minute), no answer to a wrong community,
# an answer to every Set, and all 50 rows at every minute of the run. Figures: send rates, CPU
# time of the service per flood, memory, event-log lines. Takes about 7 minutes.
# Usage: scripts/reliability/flood.sh
source "$(dirname "$0")/lib.sh"

reports=50
base=28230
flooder=$(dirname "$0")/flood.py
change_code=1.3.6.1.4.1.32473.1.19.1.1.1.0
service_state=1.3.6.1.4.1.32473.1.19.1.1.7.0

rel_begin flood
rel_build
rel_snmpd $((base + 3))
rel_install "$REL_WORK/inst" $base
rel_add_reports $reports $((base + 3)) 2 1
agent_port=$((base + 1))
# The write community that init drew for the installation.
set_community=$(tr -d '\r' <"$REL_DIR/Quorlan.ini" | sed -n 's/^SnmpAgentSetComm=//p' | tail -n 1)

minute_of() { date -d "@$1" '+%Y-%m-%d %H:%M'; }

rel_start
read -r v1_port v3_port <<<"$(rel_manager_ports)"
# Datagrams dropped by the kernel at the service's three sockets (receive buffers full).
flood_drops() {
  echo $(($(rel_udp_drops "$agent_port") + $(rel_udp_drops "$v1_port") + $(rel_udp_drops "$v3_port")))
}
rel_wait_minute 5
first_minute=$(($(date +%s) / 60 * 60))
rss_before=$(rel_rss_kb "$REL_PID")
fds_before=$(rel_fds "$REL_PID")
events_before=$(rel_events)
hz=$(rel_hz)

# run_flood NAME SECOND ARGS...: one flood, started SECOND s after a minute; prints its figures.
run_flood() {
  local name=$1 cpu0 cpu1 out lines0 drops0
  rel_wait_minute "$2"
  shift 2
  drops0=$(flood_drops)
  cpu0=$(rel_cpu_ticks "$REL_PID")
  lines0=$(rel_events)
  out=$(nice -n 5 python3 "$flooder" "$@")
  cpu1=$(rel_cpu_ticks "$REL_PID")
  rel_log "$name: $out"
  rel_figure "${name}_service_cpu_ms" "$(((cpu1 - cpu0) * 1000 / hz))"
  rel_figure "${name}_event_lines" "$(($(rel_events) - lines0))"
  rel_figure "${name}_rss_kb" "$(rel_rss_kb "$REL_PID")"
  rel_figure "${name}_kernel_drops" "$(($(flood_drops) - drops0))"
  FLOOD_ANSWERS=$(awk '{print $4}' <<<"$out")
  FLOOD_SENT=$(awk '{print $2}' <<<"$out")
}

run_flood malformed 5 malformed 1000000 "$agent_port" "$v1_port" "$v3_port"
run_flood community 5 community 100000 "$agent_port"
rel_expect community_unanswered "FLOOD_ANSWERS == 0" "$FLOOD_ANSWERS answers to a wrong community"
run_flood change 5 set 20000 "$agent_port" "$set_community" "$change_code" 1,2,3
rel_expect change_answered "FLOOD_ANSWERS == FLOOD_SENT" "$FLOOD_ANSWERS of $FLOOD_SENT Sets answered"
# Each restart forgets the requests outstanding, as it should, so this storm comes after the
# minute's polls (50 at 400 ms in the start-up period: 20 s).
run_flood state 30 set 1000 "$agent_port" "$set_community" "$service_state" 1
rel_expect state_answered "FLOOD_ANSWERS == FLOOD_SENT" "$FLOOD_ANSWERS of $FLOOD_SENT Sets answered"
python3 "$flooder" set 2 "$agent_port" "$set_community" "$service_state" 2,1 >/dev/null
rel_wait_minute 40
last_minute=$(($(date +%s) / 60 * 60))

rel_check alive "$(rel_status kill -0 "$REL_PID")" "the service runs"
state=$(rel_agent_get "$service_state" || true)
rel_expect agent_answers "${state:-0} == 1" "ServiceState reads '$state'"
rss_after=$(rel_rss_kb "$REL_PID")
fds_after=$(rel_fds "$REL_PID")
rel_figure rss_kb "$rss_before/$rss_after"
rel_expect rss_flat "rss_after <= rss_before + rss_before / 10 + 4096" \
  "resident $rss_before kB then $rss_after kB"
rel_figure fds "$fds_before/$fds_after"
rel_expect fds_unchanged "fds_after <= fds_before" "descriptors $fds_before then $fds_after"
lines=$(($(rel_events) - events_before))
rel_figure event_lines "$lines"
rel_expect event_log_bounded "lines <= 200" "$lines lines added to T-AppEvent.txt"
rel_errors_since $((events_before + 1)) | cut -f3- | cut -c1-120 | sort | uniq -c | sort -rn | head -5

short=0
for ((m = first_minute + 60; m <= last_minute; m += 60)); do
  n=$(rel_sql "SELECT count(*) FROM TrendData1 WHERE Time LIKE '$(minute_of $m)%'")
  late=$(rel_sql "SELECT max(CAST(substr(Time, 18, 2) AS int)) FROM TrendData1
    WHERE Time LIKE '$(minute_of $m)%'")
  echo "$(minute_of $m): $n rows, the last at second ${late:-none}"
  if ((n != reports)); then short=$((short + 1)); fi
done
rel_expect polls_on_time "short == 0" "$short minutes without all $reports rows"
rel_stop
rel_expect clean_exit "REL_EXIT == 0" "exit status $REL_EXIT"
rel_finish

#!/usr/bin/env bash
# A device that goes silent and comes back: the service polls 10 one-minute reports of a private
# snmpd (time-out 2 s, 1 resend), which is stopped with SIGSTOP for --minutes N (default 3; the
# full test is 10) and continued with SIGCONT. Debug mode is on, so T-SnmpResp.txt shows each poll
# given up. Checks: no row and one give-up per report in every silent minute; the first answer
# after the gap stores 0 for every counter (a new base, no difference across the gap) and the next
# one a one-minute increase (uptime counter 60 s, not the gap's length); no error event; the
# service's descriptors unchanged. Takes N + 4 minutes.
# Usage: scripts/reliability/silent-device.sh [--minutes N]
source "$(dirname "$0")/lib.sh"

minutes=3
while (($#)); do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    *) echo "usage: $0 [--minutes N]" >&2; exit 2 ;;
  esac
done
reports=10
base=28220

rel_begin silent-device
rel_build
rel_snmpd $((base + 3))
rel_install "$REL_WORK/inst" $base
rel_add_reports $reports $((base + 3)) 2 1
rel_sql "UPDATE Settings SET DebugMode = 1"

minute_of() { date -d "@$1" '+%Y-%m-%d %H:%M'; }
# rows_of MINUTE: the rows of that minute as "ReportId|V1|...|V6".
rows_of() {
  rel_sql "SELECT ReportId, Value1, Value2, Value3, Value4, Value5, Value6 FROM TrendData1
    WHERE Time LIKE '$1%' ORDER BY ReportId"
}
# give_ups MINUTE: the polls given up in that minute, from the response trace.
give_ups() { grep -c "^$1.*<-- snmpNoReply" "$REL_DIR/Debug/T-SnmpResp.txt" || true; }

rel_start
rel_wait_minute 40
rel_wait_minute 40
fds_before=$(rel_fds "$REL_PID")
events_before=$(rel_events)
now=$(date +%s)
first_silent=$((now / 60 * 60 + 60))
rel_log "snmpd stopped for $minutes minutes"
kill -STOP "$REL_SNMPD_PID"
sleep $((minutes * 60))
kill -CONT "$REL_SNMPD_PID"
rel_log "snmpd continued"
back=$((first_silent + minutes * 60))
rel_wait_minute 30
rel_wait_minute 30

silent_rows=0 short_give_ups=0
for ((m = first_silent; m < back; m += 60)); do
  n=$(rows_of "$(minute_of $m)" | grep -c . || true)
  g=$(give_ups "$(minute_of $m)")
  echo "$(minute_of $m): $n rows, $g polls given up"
  silent_rows=$((silent_rows + n))
  if ((g < reports)); then short_give_ups=$((short_give_ups + 1)); fi
done
rel_figure rows_while_silent "$silent_rows"
rel_expect no_rows_while_silent "silent_rows == 0" "$silent_rows rows"
rel_expect given_up_each_minute "short_give_ups == 0" "$short_give_ups minutes short of $reports"

first=$(rows_of "$(minute_of $back)")
second=$(rows_of "$(minute_of $((back + 60)))")
echo "first minute after the gap:"; echo "$first" | head -3
echo "second minute after the gap:"; echo "$second" | head -3
bases=$(echo "$first" | awk -F'|' '$2 == 0 && $3 == 0 && $4 == 0 && $5 == 0 && $6 == 0' | grep -c . || true)
increases=$(echo "$second" | awk -F'|' '$6 >= 55 && $6 <= 65 && $2 > 0' | grep -c . || true)
rel_figure first_rows_new_base "$bases/$reports"
rel_figure second_rows_one_minute "$increases/$reports"
rel_expect counter_base_after_gap "bases == reports" "$bases of $reports rows store 0 for counters"
rel_expect one_minute_increase "increases == reports" \
  "$increases of $reports rows hold an uptime increase of 55..65 s"

errors=$(rel_errors_since $((events_before + 1)))
rel_figure events_during_gap "$(($(rel_events) - events_before))"
rel_check no_error_events "$([[ -z "$errors" ]] && echo 0 || echo 1)" "$(printf '%s' "$errors" | head -3)"
fds_after=$(rel_fds "$REL_PID")
rel_figure fds "$fds_before/$fds_after"
rel_expect fds_unchanged "fds_after == fds_before" "descriptors $fds_before then $fds_after"
rel_stop
rel_expect clean_exit "REL_EXIT == 0" "exit status $REL_EXIT"
rel_finish

# Shared set-up of the reliability scenarios; sourced, never run.
#
# Offers: building the programs (normal or AddressSanitizer build), a private snmpd on loopback, an
# embedded installation in a temporary folder (SQLite suite) with nodes and reports added through
# quorlan-trendctl, the service started and stopped, and the figures the scenarios compare: resident
# memory, open descriptors, CPU time, sample rows, event-log lines. Every process started here is
# killed by the EXIT trap, and the temporary folder is removed unless REL_KEEP is set.
#
# Figures are printed as "figure NAME VALUE" lines and checks as "check NAME ok|FAILED ...", so a
# scenario's output can be read by a person and grepped by a script alike.

set -euo pipefail

REL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
REL_PIDS=()
REL_FAILED=0
REL_WORK=""

rel_log() { printf '%s %s\n' "$(date +%H:%M:%S)" "$*"; }

rel_cleanup() {
  local pid
  for pid in "${REL_PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${REL_PIDS[@]}"; do
    kill -CONT "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  if [[ -n "$REL_WORK" && -z "${REL_KEEP:-}" ]]; then rm -rf "$REL_WORK"; fi
  if [[ -n "$REL_WORK" && -n "${REL_KEEP:-}" ]]; then echo "kept $REL_WORK"; fi
}

# rel_begin NAME: a fresh temporary folder ($REL_WORK) and the clean-up at exit.
rel_begin() {
  REL_WORK=$(mktemp -d "/tmp/quorlan-rel-$1.XXXXXX")
  trap rel_cleanup EXIT
  trap 'exit 130' INT TERM
  rel_log "scenario $1, work folder $REL_WORK"
}

# rel_build [asan]: builds quorlan-trend and quorlan-trendctl; sets REL_BIN to the build folder of
# the console and REL_SERVICE to the service's executable, which with "asan" is built in build-asan
# with AddressSanitizer and UndefinedBehaviorSanitizer, in the Debug configuration as scripts/test
# builds it (GCC 12 at -O2 with the sanitizers warns of a maybe-uninitialized value inside
# libstdc++'s <regex>, which -Werror turns into a failed build).
rel_build() {
  local launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  rel_build_in build "${launcher[@]}" quorlan-trend quorlan-trendctl
  REL_BIN=$REL_ROOT/build
  REL_SERVICE=$REL_BIN/quorlan-trend
  if [[ "${1:-}" == asan ]]; then
    rel_build_in build-asan "${launcher[@]}" -DQUORLAN_SANITIZE=ON -DQUORLAN_TESTS=OFF \
      -DCMAKE_BUILD_TYPE=Debug quorlan-trend
    REL_SERVICE=$REL_ROOT/build-asan/quorlan-trend
  fi
}

# rel_build_in FOLDER [-DOPTION...] TARGET...
rel_build_in() {
  local dir=$REL_ROOT/$1 options=() targets=()
  shift
  for a in "$@"; do
    if [[ "$a" == -D* ]]; then options+=("$a"); else targets+=("$a"); fi
  done
  # Scenarios started together share the build folder: one builds while the others wait, so that
  # none starts a program another is still linking.
  mkdir -p "$dir"
  (
    flock 9
    cmake -S "$REL_ROOT" -B "$dir" -G Ninja -DQUORLAN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      "${options[@]}" >/dev/null
    nice -n 10 cmake --build "$dir" -j2 --target "${targets[@]}" >/dev/null
  ) 9>"$dir/.reliability-build.lock"
}

# rel_check NAME CONDITION-STATUS MESSAGE: records one check; a failed one fails the scenario.
rel_check() {
  local name=$1 ok=$2; shift 2
  if [[ "$ok" == 0 ]]; then
    echo "check $name ok $*"
  else
    echo "check $name FAILED $*"
    REL_FAILED=1
  fi
}

# rel_expect NAME EXPRESSION MESSAGE: rel_check with an arithmetic expression.
rel_expect() {
  local name=$1 expr=$2; shift 2
  if (( expr )); then rel_check "$name" 0 "$*"; else rel_check "$name" 1 "($expr) $*"; fi
}

# rel_status COMMAND...: 0 when the command succeeds, 1 otherwise (its output discarded).
rel_status() { if "$@" >/dev/null 2>&1; then echo 0; else echo 1; fi; }

rel_figure() { echo "figure $1 $2"; }

# rel_finish: prints PASS or FAIL and exits with the matching status.
rel_finish() {
  if [[ "$REL_FAILED" == 0 ]]; then echo PASS; exit 0; fi
  echo FAIL
  exit 1
}

# rel_snmpd PORT: a private snmpd on 127.0.0.1:PORT, community public; sets REL_SNMPD_PID.
rel_snmpd() {
  local port=$1 dir=$REL_WORK/snmpd
  mkdir -p "$dir/persist"
  cat >"$dir/snmpd.conf" <<EOF
agentAddress udp:127.0.0.1:$port
rocommunity public 127.0.0.1
dontLogTCPWrappersConnects yes
sysservices 72
[snmp] serverRecvBuf 4194304
[snmp] serverSendBuf 4194304
EOF
  # A session of its own: a stopped snmpd (silent-device.sh) is then never in a process group
  # that becomes orphaned when the shell that started the scenario ends, which would have the
  # kernel send it SIGHUP and SIGCONT.
  SNMP_PERSISTENT_DIR=$dir/persist setsid snmpd -f -C -c "$dir/snmpd.conf" -Lf "$dir/log" -m "" \
    </dev/null >/dev/null 2>&1 &
  REL_SNMPD_PID=$!
  REL_PIDS+=("$REL_SNMPD_PID")
  for _ in $(seq 1 50); do
    snmpget -v2c -c public -t 0.2 -r 0 -On "127.0.0.1:$port" 1.3.6.1.2.1.1.3.0 >/dev/null 2>&1 &&
      return 0
    sleep 0.1
  done
  echo "snmpd on 127.0.0.1:$port did not answer" >&2
  return 1
}

# rel_install DIR BASEPORT [INI-LINES...]: an embedded installation in DIR (no demo); the agent on
# BASEPORT+1, traps to BASEPORT+2; extra Quorlan.ini lines follow. Sets REL_DIR and REL_AGENT.
rel_install() {
  local dir=$1 base=$2; shift 2
  "$REL_BIN/quorlan-trendctl" init "$dir" >/dev/null
  cp "$REL_SERVICE" "$dir/quorlan-trend"
  {
    echo "ServerPort=$base"
    echo "ServerTrapPort=$((base + 2))"
    printf '%s\n' "$@"
  } >>"$dir/Quorlan.ini"
  REL_DIR=$dir
  REL_AGENT=127.0.0.1:$((base + 1))
}

rel_ctl() { "$REL_BIN/quorlan-trendctl" -d "$REL_DIR" "$@"; }

# rel_add_reports COUNT SNMPD-PORT [TIMEOUT RETRIES]: one node (the snmpd) and COUNT one-minute
# reports of six objects each: four counters (interface 1 octets and packets in and out), sysUpTime
# as a counter and sysServices as a gauge. Written in one SQLite transaction with the rows that
# `quorlan-trendctl node add` and `report add` write (the first ones are added through the console
# to keep the two in step).
rel_add_reports() {
  local count=$1 port=$2 timeout=${3:-2} retries=${4:-1}
  rel_ctl node add --name snmpd --address 127.0.0.1 --port "$port" --version 2 \
    --community public --timeout "$timeout" --retries "$retries" >/dev/null
  local objects=(--object 1.3.6.1.2.1.2.2.1.10.1 --name in-octets --counter
    --object 1.3.6.1.2.1.2.2.1.16.1 --name out-octets --counter
    --object 1.3.6.1.2.1.2.2.1.11.1 --name in-packets --counter
    --object 1.3.6.1.2.1.2.2.1.17.1 --name out-packets --counter
    --object 1.3.6.1.2.1.1.3.0 --name uptime --counter --eval '$value/100'
    --object 1.3.6.1.2.1.1.7.0 --name services)
  rel_ctl report add --title "report 1" --node snmpd --interval 1 "${objects[@]}" >/dev/null
  if (( count > 1 )); then
    local cols
    cols=$(sqlite3 "$REL_DIR/Quorlan-suite.db" "SELECT group_concat(name, ',') FROM
      pragma_table_info('TrendReports') WHERE name <> 'ReportId' AND name <> 'ReportTitle'")
    sqlite3 "$REL_DIR/Quorlan-suite.db" "WITH RECURSIVE n(i) AS (SELECT 2 UNION ALL SELECT i + 1
      FROM n WHERE i < $count) INSERT INTO TrendReports (ReportTitle, $cols) SELECT 'report ' || i,
      $cols FROM n, TrendReports WHERE ReportId = 1"
  fi
}

# rel_start: starts the service of REL_DIR (its output in service.log beside it); waits until its
# agent answers and T-Services.txt names the agent and both managers. Sets REL_PID.
rel_start() {
  (cd "$REL_DIR" && exec ./quorlan-trend) >"$REL_DIR/service.log" 2>&1 &
  REL_PID=$!
  REL_PIDS+=("$REL_PID")
  for _ in $(seq 1 100); do
    if [[ $(grep -c '^Port=' "$REL_DIR/Debug/T-Services.txt" 2>/dev/null) == 3 ]] &&
      rel_agent_get 1.3.6.1.2.1.1.3.0 >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.2
  done
  echo "the service's agent at $REL_AGENT did not answer" >&2
  return 1
}

# rel_stop: stops the service with SIGTERM and waits for it; sets REL_EXIT to its exit status.
rel_stop() {
  kill -TERM "$REL_PID"
  REL_EXIT=0
  wait "$REL_PID" || REL_EXIT=$?
}

rel_agent_get() { snmpget -v1 -c public -t 1 -r 1 -On -Oqv "$REL_AGENT" "$@"; }

# The managers' ports as the service wrote them in T-Services.txt: "V1 V3".
rel_manager_ports() {
  tr -d '\r' <"$REL_DIR/Debug/T-Services.txt" | awk -F= '/^Port=/ {p[n++] = $2}
    END {print p[1], p[2]}'
}

# Datagrams the kernel dropped at the UDP sockets bound to PORT (a full receive buffer).
rel_udp_drops() {
  awk -v port="$(printf '%04X' "$1")" 'NR > 1 { split($2, a, ":"); if (a[2] == port) d += $NF }
    END { print d + 0 }' /proc/net/udp
}

rel_rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
rel_fds() { ls "/proc/$1/fd" | wc -l; }
# CPU time (user + system) of a process in clock ticks.
rel_cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rel_hz() { getconf CLK_TCK; }

rel_sql() { sqlite3 -cmd ".timeout 5000" "$REL_DIR/Quorlan-suite.db" "$@"; }
rel_rows() { rel_sql "SELECT count(*) FROM TrendData1"; }
rel_events() { wc -l <"$REL_DIR/Debug/T-AppEvent.txt"; }
# Error events (type 1) of the event log from line FROM on.
rel_errors_since() {
  tail -n "+$1" "$REL_DIR/Debug/T-AppEvent.txt" | awk -F'\t' '$2 == 1' || true
}

# rel_wait_minute: sleeps until SECONDS past the next whole minute (default 30).
rel_wait_minute() {
  local at=${1:-30} d
  d=$(( (at - $(date +%s) % 60 + 60) % 60 ))
  sleep $(( d == 0 ? 60 : d ))
}

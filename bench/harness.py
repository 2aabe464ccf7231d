#!/usr/bin/env python3
"""The harness of scripts/bench: one private snmpd on 127.0.0.1, every poller against it in the same
run, CPU and memory of each poller's process read from /proc from outside it, a table on stdout, in
docs/performance.md, and a plot in docs/performance.svg.

Each poller runs 1 warm-up cycle, then prints READY and waits; the harness reads the process's CPU
time, lets it run the measured cycles, reads the CPU time and memory again at DONE, then lets it
end. Every process started here is stopped by its PID; every wait is bounded.
usage: harness.py --build DIR --peers DIR --source DIR [--reps N] [--cycles N] [--idle S]
                  [--real-minutes N] [--scale-cycles N] [--only ROW,...] [--note TEXT] [--no-doc]
--only runs the rows named (the keys of POLLERS, idle, qt_real, scale) and writes no document."""
import argparse
import datetime
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

SNMPD_PORT = 28161
SERVICE_PORT = 28100  # the service's agent listens on 28101
TRAP_PORT = 28199  # nobody listens: the service's event traps go nowhere
EXPORTER_PORT = 28190
TICK_US = 1e6 / os.sysconf('SC_CLK_TCK')
OBJECTS = 6


def log(*a):
    print(*a, file=sys.stderr, flush=True)


# --- /proc -----------------------------------------------------------------------------------

def cpu_snapshot(pid):
    """user and system time (/proc/PID/stat, all threads including ended ones, in clock ticks)
    and the run time of the live threads in ns (/proc/PID/task/*/schedstat)."""
    fields = open(f'/proc/{pid}/stat').read().rsplit(')', 1)[1].split()
    tasks = os.listdir(f'/proc/{pid}/task')
    sched_ns = sum(int(open(f'/proc/{pid}/task/{t}/schedstat').read().split()[0]) for t in tasks)
    return {'user_us': int(fields[11]) * TICK_US, 'sys_us': int(fields[12]) * TICK_US,
            'sched_us': sched_ns / 1e3, 'threads': len(tasks)}


def cpu_delta(a, b):
    """CPU used between two snapshots, in us. A process of one thread is measured to the
    nanosecond by its run time; for several threads (some may end) the tick counts are used."""
    user, sys_ = b['user_us'] - a['user_us'], b['sys_us'] - a['sys_us']
    precise = a['threads'] == 1 and b['threads'] == 1
    return {'cpu_us': b['sched_us'] - a['sched_us'] if precise else user + sys_,
            'user_us': user, 'sys_us': sys_}


def memory_kib(pid):
    """Peak and steady RSS, and the private memory (USS: pages no other process maps, which RSS
    counts alike with the shared library pages every process mapping them shares)."""
    out = {}
    for line in open(f'/proc/{pid}/status'):
        if line.startswith(('VmHWM', 'VmRSS')):
            out[line.split(':')[0]] = int(line.split()[1])
    out['Private'] = sum(int(line.split()[1]) for line in open(f'/proc/{pid}/smaps_rollup')
                         if line.startswith(('Private_Clean', 'Private_Dirty')))
    return out


def memory(mem):
    return dict(peak_kib=mem['VmHWM'], steady_kib=mem['VmRSS'], private_kib=mem['Private'])


def udp_drops():
    lines = [l.split() for l in open('/proc/net/snmp') if l.startswith('Udp:')]
    return dict(zip(lines[0][1:], map(int, lines[1][1:])))['RcvbufErrors']


# --- processes -------------------------------------------------------------------------------

def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


def start_snmpd(work, source):
    d = os.path.join(work, 'snmpd')
    os.makedirs(os.path.join(d, 'persist'), exist_ok=True)
    shutil.copy(os.path.join(source, 'bench/peers/snmpd.conf'), d)
    env = dict(os.environ, SNMP_PERSISTENT_DIR=os.path.join(d, 'persist'), SNMPCONFPATH=d)
    proc = subprocess.Popen(['snmpd', '-f', '-C', '-c', os.path.join(d, 'snmpd.conf'), '-Lf',
                             os.path.join(d, 'log'), '-m', ''], env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    for _ in range(50):
        r = subprocess.run(['snmpget', '-v2c', '-c', 'public', '-t', '0.2', '-r', '0',
                            f'127.0.0.1:{SNMPD_PORT}', '1.3.6.1.2.1.1.7.0'],
                           capture_output=True, timeout=5)
        if r.returncode == 0:
            return proc
        time.sleep(0.1)
    stop(proc)
    raise SystemExit('snmpd did not answer on 127.0.0.1:%d (its log: %s/log)' % (SNMPD_PORT, d))


def read_until(proc, word, lines):
    while True:
        line = proc.stdout.readline()
        if not line:
            raise RuntimeError(f'{proc.args[0]} ended before {word}')
        line = line.strip()
        if line == word:
            return
        lines.append(line)


def run_handshake(argv, on_ready=None, on_done=None):
    """Runs a poller that speaks the READY/DONE handshake; returns its CPU over the measured
    cycles, its memory at the end and its per-cycle lines. on_ready runs after READY, before the
    measured cycles; on_done after DONE, once the CPU has been read."""
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        warm = []
        read_until(proc, 'READY', warm)
        if on_ready:
            on_ready()
        drops0, c0 = udp_drops(), cpu_snapshot(proc.pid)
        proc.stdin.write('\n')
        proc.stdin.flush()
        lines = []
        read_until(proc, 'DONE', lines)
        c1, mem, drops1 = cpu_snapshot(proc.pid), memory_kib(proc.pid), udp_drops()
        if on_done:
            on_done()
        proc.stdin.write('\n')
        proc.stdin.flush()
        proc.wait(timeout=60)
    finally:
        stop(proc)
    pairs = lambda l: dict(zip(l.split()[::2], map(int, l.split()[1::2])))
    cycles = [pairs(l) for l in lines if l.startswith('cycle ')]
    split = next((pairs(l) for l in lines if l.startswith('split_ticks ')), None)
    answered = sum(c.get('rows', c.get('answered', 0)) for c in cycles)
    return dict(cpu_delta(c0, c1), **memory(mem),
                bursts_us=[c['burst_us'] for c in cycles], answered=answered,
                samples=answered * OBJECTS, drops=drops1 - drops0, split=split)


def run_exporter(args, work):
    """prometheus-snmp-exporter scraping the 300 targets, 4 scrapes at a time (one curl
    --parallel per cycle); its own process's CPU only."""
    cfg = os.path.join(work, 'urls.cfg')
    url = f'http://127.0.0.1:{EXPORTER_PORT}/snmp?target=127.0.0.1:{SNMPD_PORT}&module=sys6'
    with open(cfg, 'w') as f:
        f.write(f'url = "{url}"\noutput = "/dev/null"\n' * args.reports)
    proc = subprocess.Popen(['prometheus-snmp-exporter',
                             '--config.file=' + os.path.join(args.source, 'bench/peers/sys6.yml'),
                             f'--web.listen-address=127.0.0.1:{EXPORTER_PORT}', '--log.level=warn'],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    curl = ['curl', '--parallel', '--parallel-max', '4', '--max-time', '10', '-s',
            '-w', '%{http_code} %{size_download}\n', '-K', cfg]

    def cycle():
        t0 = time.monotonic()
        out = subprocess.run(curl, capture_output=True, text=True, timeout=120).stdout
        ok = sum(1 for l in out.splitlines() if l.startswith('200 ') and int(l.split()[1]) > 1000)
        return int((time.monotonic() - t0) * 1e6), ok
    try:
        for _ in range(50):
            if subprocess.run(['curl', '-s', '-o', '/dev/null', f'http://127.0.0.1:{EXPORTER_PORT}/'],
                              timeout=5).returncode == 0:
                break
            time.sleep(0.1)
        cycle()  # warm-up
        c0 = cpu_snapshot(proc.pid)
        results = [cycle() for _ in range(args.cycles)]
        c1, mem = cpu_snapshot(proc.pid), memory_kib(proc.pid)
    finally:
        stop(proc)
    answered = sum(ok for _, ok in results)
    return dict(cpu_delta(c0, c1), **memory(mem),
                bursts_us=[b for b, _ in results], answered=answered, samples=answered * OBJECTS,
                drops=0)


# --- quorlan-trend ---------------------------------------------------------------------------

def make_installation(args, work, name, extra, reports=None):
    d = os.path.join(work, name)
    subprocess.run([args.bench_program + '_setup', d, '--agent', f'127.0.0.1:{SNMPD_PORT}',
                    '--service-port', str(SERVICE_PORT), '--trap-port', str(TRAP_PORT),
                    '--reports', str(reports or args.reports)] + extra, check=True, timeout=1800,
                   stdout=subprocess.DEVNULL)
    return d


def suite_db(d):
    """The SQLite suite database of the installation d, as its Quorlan.mdb names it: a relative
    path is the installation's own file, an absolute one may lie elsewhere."""
    conn = subprocess.run(['sqlite3', os.path.join(d, 'Quorlan.mdb'),
                           'SELECT DbConnStringSql FROM Settings_Console'],
                          capture_output=True, text=True, timeout=60, check=True).stdout
    path = next(kv.split('=', 1)[1] for kv in conn.strip().split(';')
                if kv.lower().startswith('database='))
    return os.path.join(d, path)


class Lock:
    """Another writer holding the suite database locked (sqlite3 with BEGIN EXCLUSIVE) from take()
    to release()."""

    def __init__(self, db):
        self.db, self.proc = db, None

    def take(self):
        self.proc = subprocess.Popen(['sqlite3', '-bail', self.db], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.proc.stdin.write(".timeout 5000\nBEGIN EXCLUSIVE;\nSELECT 'locked';\n")
        self.proc.stdin.flush()
        if self.proc.stdout.readline().strip() != 'locked':
            raise RuntimeError('the suite database could not be locked')

    def release(self):
        if self.proc:
            self.proc.communicate('COMMIT;\n', timeout=30)
            self.proc = None


class PgServer:
    """A private PostgreSQL 15 server for the PostgreSQL row: initdb in a folder of its own (as the
    user postgres when run as root, which PostgreSQL refuses), its own TCP port on 127.0.0.1 and
    socket folder, Debian's default settings (fsync and synchronous commit on), trust logins."""
    BIN = '/usr/lib/postgresql/15/bin'
    PORT = 28150

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix='quorlan-bench-pg.')
        self.data = os.path.join(self.dir, 'data')
        self.prefix = []
        if os.geteuid() == 0:
            shutil.chown(self.dir, 'postgres')
            self.prefix = ['runuser', '-u', 'postgres', '--']
        self.run('initdb', '-N', '-D', self.data, '-A', 'trust', '-U', 'postgres', '-E', 'UTF8',
                 '--locale=C.UTF-8')
        self.run('pg_ctl', '-D', self.data, '-w', '-t', '60', '-l', os.path.join(self.dir, 'log'),
                 '-o', f'-p {self.PORT} -k {self.dir} -c listen_addresses=127.0.0.1', 'start')
        self.database = (f'Driver=PostgreSQL Unicode;Server=127.0.0.1;Port={self.PORT};'
                         'Database=postgres;Uid=postgres')

    def run(self, program, *argv):
        subprocess.run(self.prefix + [os.path.join(self.BIN, program)] + list(argv), check=True,
                       timeout=120, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)

    def stop(self):
        try:
            self.run('pg_ctl', '-D', self.data, '-w', '-m', 'fast', 'stop')
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)


def copy_report(db, copies):
    """Adds copies of the installation's one report under new ids and titles, in one statement:
    quorlan-trendctl adds a report with a transaction of its own, 10,000 of them take minutes."""
    cols = subprocess.run(['sqlite3', db, "SELECT name FROM pragma_table_info('TrendReports') "
                           "WHERE name NOT IN ('ReportId', 'ReportTitle')"],
                          capture_output=True, text=True, timeout=60, check=True).stdout.split()
    names = ', '.join(cols)
    subprocess.run(['sqlite3', db,
                    f"INSERT INTO TrendReports (ReportId, ReportTitle, {names}) "
                    f"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {copies}) "
                    f"SELECT r.ReportId + i, 'bench ' || (r.ReportId + i), {names} FROM n, "
                    f"(SELECT * FROM TrendReports LIMIT 1) AS r"],
                   check=True, timeout=120)


def run_quorlan(args, template, extra, locked=False, cycles=None):
    d = template + '.run'
    shutil.rmtree(d, ignore_errors=True)
    shutil.copytree(template, d, symlinks=True)
    lock = Lock(suite_db(d)) if locked else None
    try:
        return run_handshake([args.bench_program, d, '--cycles', str(cycles or args.cycles),
                              '--warmup', '1', '--handshake'] + extra,
                             on_ready=lock.take if lock else None,
                             on_done=lock.release if lock else None)
    finally:
        if lock:
            lock.release()
        shutil.rmtree(d, ignore_errors=True)


def suite_rows(d, since, until):
    """Sample rows recorded in the installation d with a time stamp in [since, until)."""
    fmt = '%Y-%m-%d %H:%M:%S'
    out = subprocess.run(['sqlite3', '-cmd', '.timeout 5000', suite_db(d),
                          f"SELECT count(*) FROM TrendData1 WHERE Time >= '{since.strftime(fmt)}' "
                          f"AND Time < '{until.strftime(fmt)}'"],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    return int(out.strip())


def run_real_clock(args, template):
    """The service executable itself, real clock, its 300 one-minute reports polled every minute:
    CPU (all of it, the idle time between the minutes' bursts included) over whole minutes, from
    half a minute after one minute's burst to half a minute after the last's."""
    d = template + '.real'
    shutil.rmtree(d, ignore_errors=True)
    shutil.copytree(template, d, symlinks=True)
    proc = subprocess.Popen([os.path.join(d, 'quorlan-trend')], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(12)  # the start pauses 8 s
        now = datetime.datetime.now()
        first = now.replace(second=30, microsecond=0) + datetime.timedelta(minutes=1)
        time.sleep((first - now).total_seconds())
        c0 = cpu_snapshot(proc.pid)
        last = first + datetime.timedelta(minutes=args.real_minutes)
        time.sleep((last - datetime.datetime.now()).total_seconds())
        c1, mem = cpu_snapshot(proc.pid), memory_kib(proc.pid)
    finally:
        stop(proc)
    rows = suite_rows(d, first, last)
    shutil.rmtree(d, ignore_errors=True)
    return dict(cpu_delta(c0, c1), minutes=args.real_minutes, answered=rows, samples=rows * OBJECTS,
                **memory(mem), bursts_us=[0], drops=0)


def wait_clear_of_the_hour(seconds):
    """The idle installation's reports are due on the hour; start the window clear of it."""
    now = datetime.datetime.now()
    left = 3600 - (now.minute * 60 + now.second)
    if left < seconds + 30:
        log(f'idle: waiting {left + 5} s until the hour has passed')
        time.sleep(left + 5)


def self_monitoring(d):
    """What the service's per-minute self-monitoring (its STATUS= line, status file and metrics
    file) cost, as its status file counts it: (runs, CPU µs in all), of the runs before the one
    that wrote the file; (0, 0) before the first file."""
    try:
        with open(os.path.join(d, 'quorlan-trend-status.json'), encoding='utf-8') as f:
            own = json.load(f)['self_monitoring']
    except FileNotFoundError:
        return 0, 0
    return own['runs'], own['cpu_us']


def run_idle(args, template):
    """The service executable itself, real clock, its 300 reports due on the hour only, writing
    its metrics file as node_exporter's textfile collector would read it. The window opens after
    the first self-monitoring run, which pays for the first use of its code and files; the
    self-monitoring's cost is taken over the runs in the window (three in about 200 s)."""
    wait_clear_of_the_hour(args.idle + 90)
    with open(os.path.join(template, 'Quorlan.ini'), 'a', encoding='utf-8') as ini:
        ini.write('MetricsFile=quorlan-trend.prom\n')
    proc = subprocess.Popen([os.path.join(template, 'quorlan-trend')], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    status = os.path.join(template, 'quorlan-trend-status.json')
    try:
        # The window opens after the first self-monitoring run (at most 70 s after the start):
        # the start, the first debug read and the first run that creates the files are the
        # start's costs, not idle ones.
        deadline = time.monotonic() + 90
        while not os.path.exists(status) and time.monotonic() < deadline:
            time.sleep(0.5)
        time.sleep(1)
        first = self_monitoring(template)
        floor = start_file_floor(args, template)
        c0 = cpu_snapshot(proc.pid)
        end = time.monotonic() + args.idle
        while time.monotonic() < end:
            time.sleep(min(1.0, max(0.0, end - time.monotonic())))
        c1, mem = cpu_snapshot(proc.pid), memory_kib(proc.pid)
    finally:
        stop(proc)
    runs, cpu_us = self_monitoring(template)
    return dict(cpu_delta(c0, c1), seconds=args.idle, **memory(mem), monitor_runs=runs - first[0],
                monitor_us=cpu_us - first[1], floor_us=file_floor_runs(floor))


def start_file_floor(args, template):
    """The floor under the self-monitoring's minute (bench/peers/filefloor.c): the same system
    calls on files of the same sizes in the same file system, from a C program beside the service,
    once a minute for the idle window, half a minute off the service's runs."""
    sizes = [os.path.getsize(os.path.join(template, n))
             for n in ('quorlan-trend-status.json', 'quorlan-trend.prom')]
    folder = os.path.join(template, 'floor')
    os.makedirs(folder, exist_ok=True)
    runs = 1 + (args.idle + 30) // 60
    return subprocess.Popen([os.path.join(args.peers, 'filefloor'), folder, '60', str(runs)]
                            + [str(s) for s in sizes], stdout=subprocess.PIPE, text=True)


def file_floor_runs(proc):
    """The floor's runs but the first (which, like the service's first run, pays for the first
    use of its files), once the probe has ended: each a dict of CPU µs of the files' run, of the
    wake-up, and of the first read of 64 of its pages after it."""
    out, _ = proc.communicate(timeout=120)
    runs = []
    for line in out.splitlines():
        words = line.split()
        if words and words[0] == 'run':
            runs.append({k: int(v) for k, v in zip(words[::2], words[1::2])})
    return runs[1:]


# --- the run ---------------------------------------------------------------------------------

POLLERS = [
    # key, label, protocol
    ('qt_rec', 'quorlan-trend, polled and recorded (SQLite through ODBC)', 'v2c'),
    ('qt_poll', 'quorlan-trend, polled only (rows not written)', 'v2c'),
    ('qt_spool', 'quorlan-trend, polled and spooled (the database locked by another writer)',
     'v2c'),
    ('qt_pg', 'quorlan-trend, polled and recorded (PostgreSQL 15 on the same machine)', 'v2c'),
    ('nsasync', 'net-snmp library, asynchronous, one shared session', 'v2c'),
    ('rawudp', 'raw UDP, pre-encoded requests, no decoding (the floor)', 'v2c'),
    ('exporter', 'prometheus-snmp-exporter 0.21, 4 scrapes at a time', 'v2c'),
    ('qt_v3', 'quorlan-trend, polled and recorded', 'v3 authPriv'),
    ('qt_v3_poll', 'quorlan-trend, polled only (rows not written)', 'v3 authPriv'),
    ('nsasync_v3', 'net-snmp library, asynchronous, one shared session', 'v3 authPriv'),
]


def chosen(args, key):
    return not args.only or key in args.only


def measure_all(args, work, pg):
    made = {}

    def installation(name, extra, reports=None):
        if name not in made:
            made[name] = make_installation(args, work, name, extra, reports)
        return made[name]
    v2 = lambda: installation('qt-v2c', [])
    v3 = lambda: installation('qt-v3', ['--v3'])
    peer = lambda *a: [os.path.join(args.peers, a[0]), str(args.cycles), str(args.reports)] + list(a[1:])
    commands = {
        'qt_rec': lambda: run_quorlan(args, v2(), []),
        'qt_poll': lambda: run_quorlan(args, v2(), ['--no-record']),
        'qt_spool': lambda: run_quorlan(args, v2(), [], locked=True),
        'qt_pg': lambda: run_quorlan(args, installation('qt-v2c-pg', ['--database', pg.database]), []),
        'nsasync': lambda: run_handshake(peer('nsasync', f'127.0.0.1:{SNMPD_PORT}', '1', 'v2c')),
        'rawudp': lambda: run_handshake(peer('rawudp', '127.0.0.1', str(SNMPD_PORT), '1')),
        'exporter': lambda: run_exporter(args, work),
        'qt_v3': lambda: run_quorlan(args, v3(), []),
        'qt_v3_poll': lambda: run_quorlan(args, v3(), ['--no-record']),
        'nsasync_v3': lambda: run_handshake(peer('nsasync', f'127.0.0.1:{SNMPD_PORT}', '1', 'v3')),
    }
    runs = {}
    for rep in range(args.reps):  # interleaved, so that a change of load hits every poller alike
        for key, _, _ in POLLERS:
            if not chosen(args, key):
                continue
            r = commands[key]()
            runs.setdefault(key, []).append(r)
            log(f'{key} rep {rep}: {r["cpu_us"] / max(r["samples"], 1):.3f} us/sample, '
                f'{r["answered"]} answered, burst median {statistics.median(r["bursts_us"]) / 1e3:.1f} ms, '
                f'peak {r["peak_kib"]} KiB, private {r["private_kib"]} KiB')
    for key, extra in (('qt_v3', []), ('qt_v3_poll', ['--no-record'])):
        if chosen(args, key):
            # Once more with the CPU cut at the event loop's waits (the readings cost CPU of their
            # own, so this run is not one of the table's).
            runs[key + '_split'] = run_quorlan(args, v3(), extra + ['--split'])['split']
    if chosen(args, 'scale'):
        runs['scale'] = measure_scale(args, work)
    if chosen(args, 'idle'):
        idle_template = make_installation(args, work, 'qt-idle', ['--interval', '60'])
        runs['idle'] = run_idle(args, idle_template)
        log(f'idle: {runs["idle"]["cpu_us"]:.0f} us in {args.idle} s')
    if chosen(args, 'qt_real'):
        runs['qt_real'] = [run_real_clock(args, v2())]
        r = runs['qt_real'][0]
        log(f'real clock: {r["cpu_us"] / max(r["samples"], 1):.3f} us/sample, {r["answered"]} rows '
            f'in {r["minutes"]} minutes')
    return runs


def measure_scale(args, work):
    """10,000 reports against the one snmpd, 1,000 requests in flight and no pause: each poll tick
    sends 1,000, so a cycle is ten ticks' bursts. One repetition of --scale-cycles cycles."""
    t0 = time.monotonic()
    d = make_installation(args, work, 'qt-scale', ['--max-pend', '1000', '--max-reports',
                                                   str(SCALE_REPORTS)], 1)
    copy_report(suite_db(d), SCALE_REPORTS - 1)
    log(f'scale: installation made in {time.monotonic() - t0:.0f} s')
    r = run_quorlan(args, d, [], cycles=args.scale_cycles)
    log(f'scale: {r["cpu_us"] / max(r["samples"], 1):.3f} us/sample, {r["answered"]} answered, '
        f'burst median {statistics.median(r["bursts_us"]) / 1e3:.1f} ms, private {r["private_kib"]} KiB, '
        f'{r["drops"]} datagrams dropped')
    return [r]


REAL = ('qt_real', 'quorlan-trend, the service itself on the real clock (SQLite)', 'v2c')
SCALE_REPORTS = 10000
SCALE = ('scale', f'quorlan-trend, {SCALE_REPORTS:,} reports, polled and recorded (SQLite), '
         'MaxPendSnmp 1000', 'v2c')


def summarize(runs, args):
    rows = []
    for key, label, proto in POLLERS + [REAL, SCALE]:
        if key not in runs:
            continue
        rs = runs[key]
        per = [r['cpu_us'] / r['samples'] for r in rs if r['samples']]
        bursts = [b for r in rs for b in r['bursts_us']]
        user = sum(r['user_us'] for r in rs)
        sys_ = sum(r['sys_us'] for r in rs)
        rows.append({
            'key': key, 'label': label, 'proto': proto,
            'cpu_med': statistics.median(per), 'cpu_min': min(per), 'cpu_max': max(per),
            'user_pct': 100 * user / (user + sys_) if user + sys_ else 0,
            'burst_med_ms': statistics.median(bursts) / 1e3, 'burst_max_ms': max(bursts) / 1e3,
            'peak_mib': statistics.median(r['peak_kib'] for r in rs) / 1024,
            'steady_mib': statistics.median(r['steady_kib'] for r in rs) / 1024,
            'private_mib': statistics.median(r['private_kib'] for r in rs) / 1024,
            'answered': sum(r['answered'] for r in rs),
            'expected': expected(key, args),
            'drops': sum(r['drops'] for r in rs)})
    return rows


def expected(key, args):
    """The answers a row should have: every report of every measured cycle (minute)."""
    if key == 'scale':
        return args.scale_cycles * SCALE_REPORTS
    return (args.real_minutes if key == 'qt_real' else args.reps * args.cycles) * args.reports


def machine():
    cpu = next(l.split(':', 1)[1].strip() for l in open('/proc/cpuinfo') if l.startswith('model name'))
    mem = next(int(l.split()[1]) for l in open('/proc/meminfo') if l.startswith('MemTotal'))
    git = lambda *a: subprocess.run(['git'] + list(a), capture_output=True, text=True).stdout.strip()
    dirty = ' (with uncommitted changes)' if git('status', '--porcelain', '--untracked-files=no') else ''
    return {'cpu': cpu, 'cores': os.cpu_count(), 'memory': f'{mem / 1024 / 1024:.1f} GiB',
            'kernel': os.uname().release, 'debian': open('/etc/debian_version').read().strip(),
            'date': datetime.datetime.now().strftime('%Y-%m-%d %H:%M %Z').strip(),
            'commit': git('rev-parse', '--short', 'HEAD') + dirty}


def burst(r):
    # quorlan-trend sends SNMPv3 requests one per poll tick: its 300 answers are no burst; the
    # real-clock run is not timed per burst. The scale row's burst spans the ten ticks that send
    # its requests, the clock jumping over the time between them.
    if r['key'] in ('qt_v3', 'qt_v3_poll', 'qt_real'):
        return '—'
    return f"{r['burst_med_ms']:.1f} ({r['burst_max_ms']:.1f})"


def split_text(splits, args):
    """The SNMPv3 runs' CPU per answer, apart for the poll ticks (see --split)."""
    parts = []
    for key, what in (('qt_v3_poll', 'polled only'), ('qt_v3', 'polled and recorded')):
        sp = splits.get(key)
        if not sp or not sp['split_ticks']:
            continue
        answers = args.cycles * args.reports
        parts.append(f"{what}: {sp['tick_ns'] / sp['split_ticks'] / 1e3:.1f} µs in each poll tick "
                     f"({sp['split_ticks']} ticks) and {sp['other_ns'] / answers / 1e3:.1f} µs per answer "
                     f"outside the ticks")
    if not parts:
        return ''
    return ('SNMPv3 per answer, its tick apart (one more run of each, the thread\'s CPU cut at the '
            'event loop\'s waits; a tick: its wake-up, the walk over the list, the request\'s '
            'encoding, encryption and send; outside it: the answer\'s wake-up, receipt, decryption, '
            'decoding and row, with the row\'s commit when recorded): ' + '; '.join(parts) + '.')


def table(rows, idle, args, splits=None):
    out = ['| poller | SNMP | CPU µs per sample, median (min–max) | user / sys | burst ms, median (max) '
           '| peak RSS MiB | steady RSS MiB | private MiB | answered |',
           '|---|---|---|---|---|---|---|---|---|']
    for r in rows:
        out.append(f"| {r['label']} | {r['proto']} | {r['cpu_med']:.3f} ({r['cpu_min']:.3f}–{r['cpu_max']:.3f}) "
                   f"| {r['user_pct']:.0f}% / {100 - r['user_pct']:.0f}% | {burst(r)} "
                   f"| {r['peak_mib']:.1f} | {r['steady_mib']:.1f} | {r['private_mib']:.2f} "
                   f"| {r['answered']}/{r['expected']} |")
    split = split_text(splits or {}, args)
    if split:
        out += ['', split]
    if idle is None:
        return '\n'.join(out)
    out.append('')
    out.append(f"Idle (the service executable, real clock, {args.reports} reports, none due): "
               f"{idle['cpu_us'] / 1e3:.1f} ms CPU in {idle['seconds']} s "
               f"({idle['cpu_us'] / idle['seconds'] / 1e3:.3f} ms/s), steady RSS {idle['steady_kib'] / 1024:.1f} MiB, "
               f"private {idle['private_kib'] / 1024:.2f} MiB; "
               f"writing its counters (STATUS=, status file, metrics file): {monitor_us_per_minute(idle):.1f} µs CPU "
               f"per minute over {idle['monitor_runs']} minute(s); the same system calls on files of "
               f"the same sizes from a C program that does nothing else (bench/peers/filefloor.c), "
               f"once a minute beside it: {file_floor_text(idle)}.")
    return '\n'.join(out)


def file_floor_text(idle):
    runs = idle.get('floor_us') or []
    if not runs:
        return 'not measured'

    def spread(key):
        values = [r[key] for r in runs]
        return f"{statistics.median(values):.0f} µs ({min(values)}–{max(values)})"
    return (f"{spread('run')} CPU per minute over {len(runs)} minute(s); the same program's "
            f"wake-up alone (the return of its minute's sleep) costs {spread('wake')}, and its "
            f"first read of 64 pages of its own memory after it {spread('touch')}")


def monitor_us_per_minute(idle):
    return idle['monitor_us'] / idle['monitor_runs'] if idle['monitor_runs'] else float('nan')


def targets(rows, idle):
    """The targets whose rows were measured, each as (name, value, limit, format)."""
    by = {r['key']: r for r in rows}
    checks = []
    if 'qt_poll' in by:
        checks.append(('CPU per sample polled ≤ 1.0 µs', by['qt_poll']['cpu_med'], 1.0, '%.3f µs'))
    if 'qt_rec' in by:
        rec = by['qt_rec']
        checks += [
            ('CPU per sample polled and recorded ≤ 3 µs', rec['cpu_med'], 3.0, '%.3f µs'),
            ('steady RSS ≤ 8 MiB', rec['steady_mib'], 8.0, '%.1f MiB'),
            ('private memory with 300 reports < 4 MiB', rec['private_mib'], 4.0, '%.2f MiB'),
            ('a 300 × 6 burst recorded in under 50 ms', rec['burst_med_ms'], 50.0, '%.1f ms')]
    if 'qt_poll' in by and 'nsasync' in by:
        checks.append(('polled only at or below net-snmp\'s library in the same run',
                       by['qt_poll']['cpu_med'] / by['nsasync']['cpu_med'], 1.0, '%.2f times'))
    for key, what in (('qt_v3_poll', 'polled only'), ('qt_v3', 'polled and recorded')):
        if key in by and 'nsasync_v3' in by:
            checks.append((f'SNMPv3 {what} within 2 times net-snmp\'s SNMPv3 poller',
                           by[key]['cpu_med'] / by['nsasync_v3']['cpu_med'], 2.0, '%.2f times'))
    if 'qt_rec' in by and 'qt_poll' in by:
        checks.append(('recording adds ≤ 1 µs per sample to polling alone',
                       by['qt_rec']['cpu_med'] - by['qt_poll']['cpu_med'], 1.0, '%.3f µs'))
    if 'qt_rec' in by and 'qt_real' in by:
        checks.append(('on the real clock within 1.5 times the back-to-back figure',
                       by['qt_real']['cpu_med'] / by['qt_rec']['cpu_med'], 1.5, '%.2f times'))
    if 'scale' in by:
        scale = by['scale']
        checks += [
            (f'{SCALE_REPORTS:,} × 6: a cycle\'s bursts under 1 s', scale['burst_med_ms'] / 1e3, 1.0,
             '%.2f s'),
            (f'{SCALE_REPORTS:,} × 6: every report answered (answers missing)',
             scale['expected'] - scale['answered'], 0, '%d')]
    if 'scale' in by and 'qt_rec' in by:
        per_1000 = (by['scale']['private_mib'] - by['qt_rec']['private_mib']) / (
            (SCALE_REPORTS - 300) / 1000)
        checks += [
            (f'{SCALE_REPORTS:,} × 6: CPU per sample within 20 % of 300 reports recorded',
             by['scale']['cpu_med'] / by['qt_rec']['cpu_med'], 1.2, '%.2f times'),
            ('private memory < 1 MiB more per 1,000 reports', per_1000, 1.0, '%.2f MiB')]
    if idle is not None:
        checks += [
            ('no measurable idle CPU (< 1 ms per minute)', idle['cpu_us'] / 1e3 * 60 / idle['seconds'],
             1.0, '%.2f ms/min'),
            ('writing the counters < 0.1 ms CPU per minute', monitor_us_per_minute(idle) / 1e3, 0.1,
             '%.3f ms/min')]
    return '\n'.join(f"- {name}: {fmt % value} — {'met' if value <= limit else 'MISSED'}"
                     for name, value, limit, fmt in checks)


def plot(rows, path):
    # The data goes inline (a gnuplot data block), so the file names no temporary path.
    data = ''
    for r in rows:
        short = r['label'].split(',')[0] + (' ' + r['proto'] if r['proto'] != 'v2c' else '')
        if r['key'] == 'qt_poll':
            short += ' (polled only)'
        data += f'"{short}" {r["cpu_med"]:.4f}\n'
    script = f'''$cpu << EOD
{data}EOD
set terminal svg size 900,460 dynamic font "sans,12"
set output "{path}"
set title "CPU per sample (µs, log scale; lower is better) — 300 reports × 6 objects, one snmpd"
set style data histograms
set style fill solid 0.8
set boxwidth 0.7
set logscale y
set yrange [0.1:*]
set grid ytics
set xtics rotate by -25 left
set bmargin 9
unset key
plot $cpu using 2:xtic(1) title "CPU per sample" lc rgb "#1f77b4", \\
     $cpu using 0:2:(sprintf("%.2f",$2)) with labels offset 0,0.7 title "value"
'''
    subprocess.run(['gnuplot'], input=script, text=True, check=True, timeout=60)


def write_doc(path, rows, idle, args, info, history, splits):
    text = f'''# Performance

Written by `scripts/bench` ({info['date']}, commit {info['commit']}); run it again to refresh.
Machine: {info['cpu']}, {info['cores']} cores, {info['memory']} memory, Linux {info['kernel']},
Debian {info['debian']}. Load average at the start {info['load_start']}, at the end {info['load_end']}
{info['load_note']}{(chr(10) + args.note) if args.note else ''}

Workload: {args.reports} reports × 6 objects (the system group's six scalars) against one private
snmpd on 127.0.0.1 with a 2 MiB receive buffer; 1 warm-up cycle, then {args.cycles} measured cycles,
{args.reps} repetitions with the pollers interleaved; medians over the repetitions. The plot is
`docs/performance.svg`.

{table(rows, idle, args, splits)}

Targets:
{targets(rows, idle)}

## How it is measured

- CPU is that of the poller's own process only, read from outside it: `/proc/PID/stat` (user and
  system time, all threads) and, for a process of one thread, the run time of `/proc/PID/task/*/schedstat`
  (nanoseconds; the ticks of `stat` are 10 ms, too coarse for a few hundred ms of CPU). Each poller
  prints READY after its warm-up cycle and DONE after its last; the harness reads `/proc` at both
  and the memory (`VmHWM` peak, `VmRSS` steady, and private: `Private_Clean` + `Private_Dirty`
  of `/proc/PID/smaps_rollup`, the pages no other process maps) at DONE. RSS also counts the
  pages of shared libraries, which every process that maps them shares. Other processes' load does not enter a
  process's CPU time, but it does lengthen bursts.
- quorlan-trend runs as `bench/quorlan_trend_bench`: the service's own `Module` (start sequence,
  `timerPoll_Timer` on its 2 s grid, the senders, the response handling, a sample row per answer through
  the ODBC client into the SQLite suite database) in an installation made with quorlan-trendctl's
  commands (`bench/quorlan_trend_bench_setup`), with `PollDelaySnmp=0` and `MaxPendSnmp=300`. Its
  clock is the real one while requests are outstanding and jumps to the next timer tick when
  nothing is, so every tick of a minute runs (the poll ticks that find work, the ticks in between
  being slept through as in the service; the debug-mode reads; the self-monitoring) without waiting
  a minute. A sample is one object of one answer; CPU per sample is the CPU of the measured cycles
  over the objects recorded.
- The sample rows are recorded in batches: while requests are outstanding the rows wait for the
  burst's last answer, then commit in one transaction when the loop has nothing else ready (at
  the latest 100 ms after the batch's first row, or at 1,000 rows), on a connection kept open, with
  a prepared INSERT of 16 rows a statement. The requests of a poll tick that no pause separates
  go out together (sendmmsg, up to 64 a call).
- The measured cycles start a second of real time after the warm-up: the start's writes to the
  suite database have then settled, as they have long before the next settings read on a real
  clock (a file changed within the last second is read again each time).
- "Polled only" is the same program with `--no-record`: its database client leaves the
  recorder's transactions out (their statements do nothing, and its connection never opens the
  database); everything else, values, expressions, the rows handed to the recorder and batched,
  runs.
- "Polled and spooled" is the recorded run with the suite database held by another writer
  (`sqlite3` with `BEGIN EXCLUSIVE`) from the end of the warm-up to the last cycle: the first
  batch waits out the recorder's lock wait, then every batch is appended to the spool file and
  synced (fdatasync), and a probe every 15 s of the service's clock (four a cycle) waits out the
  lock wait again. A row counts when it is committed or spooled.
- The PostgreSQL row is the recorded run with the suite database on a private PostgreSQL 15
  server on the same machine (initdb's defaults: fsync and synchronous commit on), reached through
  psqlODBC over TCP on 127.0.0.1; the server's own CPU is not counted, only the poller's.
- The real-clock row is the service executable itself (`quorlan-trend`) on the installation of
  the recorded run, polling on the real clock for {args.real_minutes} whole minutes: its CPU is
  everything the process used from half a minute after one minute's burst to half a minute after
  the last's (`/proc/PID/schedstat`), the idle wake-ups between bursts (the poll timer at its next poll or time-out, the debug watcher
  after each change of the database, the self-monitoring once a minute) included, over the rows it recorded with a time stamp in that window. It runs once, after the
  repetitions.
- Burst: quorlan-trend from the tick that sends the cycle's first request to the last row
  committed; the other pollers from their first send to their last answer; the exporter a whole
  cycle of 300 scrapes.
- The SNMPv3 rows use the user benchv3 (SHA, AES-128, authPriv). quorlan-trend keeps one SNMPv3
  request outstanding and sends at most one per poll tick (2 s), so 300 SNMPv3 reports take 10
  minutes of its time, not one: its cycle is 300 answers over 300 ticks, the CPU of those ticks
  included, and it has no burst; net-snmp's poller sends all 300 at once. Each answer is then a
  batch of its own: recorded, every row is a transaction. The ten minutes pass in a second of
  real time, and snmpd's engine clock with it: the service's estimate of that clock follows the
  real monotonic clock (`Clock::WorldMonotonicMs`), as a service on a real clock does, so no request
  draws a notInTimeWindow Report. The polled-only SNMPv3 row records nothing, as net-snmp's
  poller does not.
- The scale row: {SCALE_REPORTS:,} reports × 6 objects in one installation (`MaxTrendReports`
  {SCALE_REPORTS}, `MaxPendSnmp` 1000, `PollDelaySnmp` 0) against the same snmpd: each poll tick
  sends 1,000 requests, so a cycle is the bursts of ten ticks; its burst runs from the first of
  them to the last row committed, the clock jumping over the time between the ticks.
  {args.scale_cycles} measured cycles, one repetition.
- Idle: the service executable itself (`quorlan-trend` in its installation), real clock, 300
  reports of a 60-minute interval, none due in the window; CPU over {args.idle} s from one second
  after its first self-monitoring run (the start, and the first use of the files, are not idle).
  Its poll timer sleeps until the hour, and its debug-mode watcher while the folder of the SQLite
  database reports no change of its file (inotify): it wakes once a minute, at second 30, for
  the self-monitoring. Beside it, bench/peers/filefloor.c makes that minute's system calls
  (the CPU clocks, a read of `/proc/self/statm`, and for each of two files of the service's
  sizes an `fstat`, a `pwrite` and an exchange of names) once a minute and nothing else: the
  floor of writing the counters on this machine, where the first system calls after a minute's
  sleep run cold. The same program reports what its wake-up alone costs (the return of its
  minute's sleep), and its first read of 64 pages of its own memory after it: where the machine
  is a virtual one that gives an idle guest's memory back to its host, every page a program
  touches again after a minute's sleep is paid for anew.

Reproduce: `scripts/bootstrap && scripts/bench` (`scripts/bench --help` for a longer run).
'''
    if history:
        text += '\n' + history
    open(path, 'w').write(text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--build', required=True)
    ap.add_argument('--peers', required=True)
    ap.add_argument('--source', required=True)
    ap.add_argument('--reps', type=int, default=3)
    ap.add_argument('--cycles', type=int, default=20)
    ap.add_argument('--reports', type=int, default=300)
    ap.add_argument('--idle', type=int, default=200)
    ap.add_argument('--real-minutes', type=int, default=3)
    ap.add_argument('--scale-cycles', type=int, default=5)
    ap.add_argument('--only', type=lambda v: set(v.split(',')), default=set(),
                    help='run only these rows (no document): keys of POLLERS, idle, qt_real, scale')
    ap.add_argument('--note', default='', help='a remark on the run for the document')
    ap.add_argument('--no-doc', action='store_true')
    args = ap.parse_args()
    unknown = args.only - {key for key, _, _ in POLLERS} - {'idle', 'qt_real', 'scale'}
    if unknown:
        ap.error('--only: no row named ' + ', '.join(sorted(unknown)))
    args.bench_program = os.path.join(args.build, 'bench/quorlan_trend_bench')
    info = machine()
    info['load_start'] = open('/proc/loadavg').read().split()[:3]
    work = tempfile.mkdtemp(prefix='quorlan-bench.')
    snmpd = start_snmpd(work, args.source)
    pg = None
    try:
        if chosen(args, 'qt_pg'):
            pg = PgServer()
        runs = measure_all(args, work, pg)
    finally:
        stop(snmpd)
        if pg:
            pg.stop()
    info['load_end'] = open('/proc/loadavg').read().split()[:3]
    busy = max(float(info['load_start'][0]), float(info['load_end'][0])) > 1.0
    info['load_start'], info['load_end'] = ' '.join(info['load_start']), ' '.join(info['load_end'])
    info['load_note'] = ('(the machine was loaded by other work: bursts are longer than on an idle '
                         'machine; CPU per process is not affected).' if busy else '(an idle machine).')
    rows = summarize(runs, args)
    splits = {key: runs.get(key + '_split') for key in ('qt_v3', 'qt_v3_poll')}
    print(table(rows, runs.get('idle'), args, splits))
    print(targets(rows, runs.get('idle')))
    json.dump({'info': info, 'rows': rows, 'runs': runs}, open(os.path.join(work, 'results.json'), 'w'))
    if not args.no_doc and not args.only:
        docs = os.path.join(args.source, 'docs')
        os.makedirs(docs, exist_ok=True)
        hist = os.path.join(args.source, 'bench/history.md')
        history = open(hist).read() if os.path.exists(hist) else ''
        write_doc(os.path.join(docs, 'performance.md'), rows, runs['idle'], args, info, history,
                  splits)
        plot(rows, os.path.join(docs, 'performance.svg'))
        log('wrote docs/performance.md and docs/performance.svg')
    log(f'raw results: {work}/results.json')
    for name in os.listdir(work):
        if name != 'results.json':
            p = os.path.join(work, name)
            shutil.rmtree(p) if os.path.isdir(p) else os.remove(p)


if __name__ == '__main__':
    main()

#!/usr/bin/env bash
# Times the daemon's start-up until it is ready (its last generated file,
# httpd.conf or a site's serverconfig.php, is on disk) against the mariadb
# client running the same statements, for layouts of current site databases
# and of sites that need a full upgrade. The statements are taken from the
# database server's general log of a run of the daemon and replayed with the
# client, one client process per connection the daemon made; both sides must
# end with the same tables, columns and keys, the same rows in every table
# (CHECKSUM TABLE; of DatabaseVersion, whose time stamps are the moment of
# each run, its versions and their number of rows), and with the same number
# of refused statements.
#
#   bench/startup.sh
#
# Two set-ups, both on a database server of the benchmark's own (socket
# only, no TCP port), the daemon run as "vtd -d -h -r -s" with its real
# pauses:
#   own      the database server is not running; the daemon starts it (as at
#            a restart of a machine). The client side starts the same server
#            with the same command line, waits until it answers, then runs
#            the statements.
#   running  the database server already runs; the daemon runs with -m.
#
# Cases: current:N  N site databases of this release;
#        upgrade:N  N new, empty site databases (a full upgrade each);
#        old:N      N databases of an older release (tests/data/schema/
#                   old_layout.sql, stamped 6.4.12) with OLD_OBJECTS more
#                   objects (200000) in a content tree 8 wide. Beside the
#                   daemon and the client, the floor of its schema change:
#                   one ALTER TABLE ... FORCE per table, a single copy of
#                   each table, which no upgrade that changes every table
#                   can undercut; the report gives daemon / floor.
#        old:N:M    the same with M objects instead of OLD_OBJECTS, for
#                   instance old:1:1000000 (not among the default cases).
#
# Environment: BUILD_DIR (build folder, build), VTD (the daemon to measure,
# default BUILD_DIR/bin/vtd), RUNS (3), SETUPS ("own running"),
# CASES ("current:1 current:20 current:100 upgrade:1 upgrade:5 upgrade:20"),
# OLD_OBJECTS, SCRATCH (where the scratch installation goes, /var/tmp; a
# tmpfs such as /dev/shm takes the disk's flush times out of both sides),
# KEEP=1 keeps the scratch folder.
#
# The daemon runs in a network namespace of its own (unshare -n), so that the
# update requests it sends after an upgrade reach no web server of the
# machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build}
runs=${RUNS:-3}
setups=${SETUPS:-own running}
cases=${CASES:-current:1 current:20 current:100 upgrade:1 upgrade:5 upgrade:20}
old_objects=${OLD_OBJECTS:-200000}

if [ -z "${VTD:-}" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target vtd >/dev/null
  VTD=$build/bin/vtd
fi

work=$(mktemp -d "${SCRATCH:-/var/tmp}/vtd-startup-XXXXXX")
install=$work/install
mysql=$install/mysql
sock=$mysql/mysql.sock
password=bench-pw
delimiter='@@vtd@@'

server_pid() { cat "$mysql/mysqld.pid" 2>/dev/null || true; }

stop_server() {
  local pid
  pid=$(server_pid)
  if [ -n "$pid" ] && kill "$pid" 2>/dev/null; then
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  fi
  rm -f "$mysql/mysqld.pid"
}

daemon_pid=
stop_daemon() {
  [ -n "$daemon_pid" ] || return 0
  kill "$daemon_pid" 2>/dev/null || true
  for _ in $(seq 60); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.05; done
  kill -9 "$daemon_pid" 2>/dev/null || true
  wait "$daemon_pid" 2>/dev/null || true
  daemon_pid=
}

cleanup() {
  stop_daemon
  stop_server
  if [ "${KEEP:-0}" = 1 ]; then echo "scratch folder kept: $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

# The same command line as the daemon's, from the same environment.
spawn_server() {
  "$mysql/bin/mysqld" -b "$mysql" -h "$mysql/data" --init-file="$mysql/my.ini" >/dev/null 2>&1 &
}

answers() { mariadb --no-defaults -S "$sock" -u vantry -p"$password" -e '' 2>/dev/null; }

wait_for_server() {
  for _ in $(seq 3000); do
    answers && return 0
    sleep 0.01
  done
  echo "the database server did not start; its log:" >&2
  tail -n 20 "$mysql/error.log" >&2
  exit 1
}

start_server() { spawn_server; wait_for_server; }

admin() { mariadb --no-defaults -S "$sock" -u root -N -B "$@"; }

# my.cnf, read by the server through MYSQL_HOME; $1 = 1 turns the general log on.
write_my_cnf() {
  cat > "$mysql/my.cnf" <<EOT
[mysqld]
user=root
socket=$sock
skip-networking
lower_case_table_names=1
pid-file=$mysql/mysqld.pid
log-error=$mysql/error.log
skip-log-bin
EOT
  if [ "$1" = 1 ]; then
    printf 'general-log=1\ngeneral-log-file=%s\n' "$mysql/general.log" >> "$mysql/my.cnf"
  fi
}

# --- the installation ---------------------------------------------------------
mkdir -p "$mysql/bin" "$install/apache/conf" "$install/bin" "$install/sites"
# A copy, not a link: the daemon looks only at processes whose executable
# lies in the installation (VTD_PROCESS_FOLDER), so database servers of other
# programs on the machine do not count as its own.
cp /usr/sbin/mariadbd "$mysql/bin/mysqld"
cp "$VTD" "$install/bin/vtd"
cp "$root"/tools/demo/apache/conf.* "$install/apache/conf/"
cat > "$mysql/my.ini" <<EOT
CREATE USER IF NOT EXISTS 'vantry'@'localhost' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO 'vantry'@'localhost';
EOT
write_my_cnf 0
mariadb-install-db --no-defaults --user=root --datadir="$mysql/data" --skip-test-db \
  --auth-root-authentication-method=normal >"$work/install-db.log" 2>&1
export MYSQL_HOME=$mysql MYSQL_UNIX_PORT=$sock VTD_PROCESS_FOLDER=$install VTD_REGISTRY=$work/vtd.reg
unset VTD_SLEEP_DIVISOR

sites_of() {  # $1 prefix, $2 count
  local i
  for i in $(seq 1 "$2"); do printf '%s%03d\n' "$1" "$i"; done
}

write_settings() {  # site names on standard input
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server]\r\n"InstallFolder"="%s"\r\n' "$install"
    printf '"PortNumber"=dword:00001f90\r\n"HttpEnabled"=dword:00000001\r\n"VtdRole"=dword:00000001\r\n'
    while read -r site; do
      printf '\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\%s]\r\n' "$site"
      printf '"sql_server"="localhost"\r\n"sql_database"="%s"\r\n"sql_user"="vantry"\r\n"sql_password"="%s"\r\n' \
        "$site" "$password"
    done
  } > "$work/vtd.reg"
}

reset_databases() {  # site names; the server must run
  local site statements=""
  for site in "$@"; do statements+="drop database if exists \`$site\`; create database \`$site\`;"; done
  admin -e "$statements"
}

# An older release's database: its layout and rows, its version stamp, and
# old_objects objects more below the root, 8 children to a folder.
load_old() {  # site names; the server must run; $case_objects objects
  local site
  reset_databases "$@"
  for site in "$@"; do
    {
      cat "$root/tests/data/schema/old_layout.sql"
      echo "create table DatabaseVersion (version varchar(200)) ENGINE=MyISAM;"
      echo "insert into DatabaseVersion values ('6.4.12');"
      echo "insert into Object (id, name, authorid, parentid, type, displayorder)"
      echo "  select seq, concat('object ', seq), 1, if(seq < 1008, 1, 1000 + (seq - 1000) div 8 - 1), 2, seq"
      echo "  from seq_1000_to_$((999 + case_objects));"
    } | admin "$site"
  done
}

prepare() {  # kind, then site names; the server must run
  local kind=$1
  shift
  case $kind in
    upgrade) reset_databases "$@" ;;
    old) load_old "$@" ;;
  esac
}

# One ALTER TABLE ... FORCE per table of each database; sets took.
run_floor() {
  local start end site statements
  start=$(now)
  for site in "$@"; do
    statements=$(admin -e "select group_concat(concat('alter table \`', table_name, '\` force') separator ';')
      from information_schema.tables where table_schema='$site' and table_type='BASE TABLE'")
    mariadb --no-defaults -S "$sock" -u vantry -p"$password" "$site" -e "$statements"
  done
  end=$(now)
  took=$(elapsed $((end - start)))
}

now() { echo "${EPOCHREALTIME/./}"; }  # microseconds

# Runs the daemon until its generated files are all on disk; sets took to
# the seconds that took. $1: extra option (-m or nothing); then the site names.
run_daemon() {
  local option=$1 site start ready files=("$install/apache/conf/httpd.conf")
  shift
  for site in "$@"; do files+=("$install/sites/$site/serverconfig.php"); done
  rm -f "${files[@]}"
  rm -rf "$install/bin/logs"
  start=$(now)
  # shellcheck disable=SC2086
  unshare -n "$install/bin/vtd" -d $option -h -r -s >"$work/daemon.out" 2>"$work/daemon.err" &
  daemon_pid=$!
  for _ in $(seq 60000); do
    ready=1
    for site in "${files[@]}"; do [ -e "$site" ] || { ready=0; break; }; done
    [ $ready = 1 ] && break
    kill -0 "$daemon_pid" 2>/dev/null || { echo "the daemon ended early:" >&2; tail "$work/daemon.err" >&2; exit 1; }
    sleep 0.01
  done
  ready=$(now)
  stop_daemon
  [ $ready -gt 0 ]
  daemon_refused=$(grep -c '^SQL ERROR' "$work/daemon.err" || true)
  daemon_connect=$(cat "$install"/bin/logs/* 2>/dev/null | grep -c 'SQL CONNECT' || true)
  took=$(elapsed $((ready - start)))
}

elapsed() { printf '%d.%06d\n' $(($1 / 1000000)) $(($1 % 1000000)); }

# The daemon's statements per connection, in order, from the general log:
# $work/replay/NNN.db holds the database, NNN.sql the statements.
extract_statements() {
  rm -rf "$work/replay"
  mkdir -p "$work/replay"
  perl -e '
    my ($dir, $delimiter, $path) = @ARGV;
    open(my $log, "<", $path) or die "general log: $!";
    my (%connection, @connections, $last);
    while (my $line = <$log>) {
      chomp $line;
      if ($line =~ /^(?:\d{6}\s+\d+:\d\d:\d\d)?\t+\s*(\d+)\s(Connect|Query|Quit|Init DB|Field List|Statistics|Ping|Refresh|Shutdown|Processlist|Change user|Set option|Prepare|Execute|Close stmt|Reset stmt|Long Data|Fetch|Killed|Daemon|Debug)\t(.*)$/) {
        my ($id, $command, $argument) = ($1, $2, $3);
        $last = undef;
        if ($command eq "Connect" && $argument =~ /^vantry\@\S+ (?:as \S+ )?on (\S+)/) {
          $connection{$id} = { db => $1, statements => [] };
          push @connections, $connection{$id};
        } elsif ($command eq "Query" && $connection{$id}) {
          push @{ $connection{$id}{statements} }, $argument;
          $last = \$connection{$id}{statements}[-1];
        } elsif ($command eq "Quit") {
          delete $connection{$id};
        }
      } elsif ($last) {
        $$last .= "\n$line";
      }
    }
    my $n = 0;
    for my $c (@connections) {
      my $name = sprintf("%s/%03d", $dir, ++$n);
      open(my $db, ">", "$name.db") or die; print $db "$c->{db}\n"; close $db;
      open(my $sql, ">", "$name.sql") or die;
      print $sql "delimiter $delimiter\n";
      print $sql "$_$delimiter\n" for @{ $c->{statements} };
      close $sql;
    }
    print scalar(@connections), " connections, ", eval { my $t = 0; $t += @{ $_->{statements} } for @connections; $t }, " statements\n";
  ' "$work/replay" "$delimiter" "$mysql/general.log"
}

# Replays the statements; sets took to the seconds from the client's start
# (with the server's start when $1 = own).
run_client() {
  local setup=$1 start end file
  rm -f "$work/client.err"
  start=$(now)
  if [ "$setup" = own ]; then start_server; fi
  for file in "$work"/replay/*.sql; do
    mariadb --no-defaults --force -S "$sock" -u vantry -p"$password" "$(cat "${file%.sql}.db")" \
      <"$file" >/dev/null 2>>"$work/client.err" || true
  done
  end=$(now)
  took=$(elapsed $((end - start)))
  client_refused=$(grep -c '^ERROR' "$work/client.err" || true)
}

# Tables and views with their columns and keys, the row count and the
# checksum of the rows of each table (DatabaseVersion: its versions, each
# with its number of rows, as its time stamps are those of the run).
fingerprint() {
  local site query tables
  for site in "$@"; do
    echo "== $site"
    mariadb-dump --no-defaults -S "$sock" -u root --no-data --skip-dump-date --skip-comments "$site"
    query=$(admin -e "select group_concat(concat('select ''', table_name, ''', count(*) from \`', table_schema,
      '\`.\`', table_name, '\`') order by table_name separator ' union all ') from information_schema.tables
      where table_schema='$site' and table_type='BASE TABLE'")
    [ "$query" = NULL ] || admin -e "$query"
    tables=$(admin -e "select group_concat(concat('\`', table_schema, '\`.\`', table_name, '\`') order by table_name)
      from information_schema.tables where table_schema='$site' and table_type='BASE TABLE'
      and lower(table_name) <> 'databaseversion'")
    [ "$tables" = NULL ] || admin -e "checksum table $tables" | sed 's/^/checksum\t/'
    admin "$site" -e "select 'version', version, count(*) from DatabaseVersion group by version" 2>/dev/null || true
  done
}

summary() {  # the fingerprint file: tables, views, rows, checksummed tables
  local tables views rows sums
  tables=$(grep -c '^CREATE TABLE' "$1" || true)
  views=$(grep -c '^/\*!50001 VIEW' "$1" || true)
  rows=$(awk -F'\t' 'NF == 2 && $2 ~ /^[0-9]+$/ { n += $2 } END { print n + 0 }' "$1")
  sums=$(grep -c '^checksum' "$1" || true)
  echo "$tables tables, $views views, $rows rows, $sums checksums"
}

stats() {  # numbers on standard input: min and median
  sort -g | awk '{ v[NR] = $1 } END { printf "%.2f %.2f\n", v[1], v[int((NR + 1) / 2)] }'
}

ensure_server() { answers || start_server; }

# --- current databases: one upgraded by the daemon, copied to the others ------
needed=0
for case in $cases; do
  [ "${case%%:*}" = current ] && [ "${case##*:}" -gt $needed ] && needed=${case##*:}
done
ensure_server
if [ $needed -gt 0 ]; then
  reset_databases cur001
  sites_of cur 1 | write_settings
  run_daemon -m cur001
  mariadb-dump --no-defaults -S "$sock" -u root cur001 > "$work/current.sql"
  for site in $(sites_of cur "$needed" | tail -n +2); do
    reset_databases "$site"
    admin "$site" < "$work/current.sql"
  done
fi

report=$work/report.txt
printf '%-8s %-12s %18s %18s %14s %10s %8s %s\n' setup case "daemon min/med s" "client min/med s" "ratio min/med" \
  "refused" "CONNECT" "same end" > "$report"
status=0
for case in $cases; do
  kind=${case%%:*}
  rest=${case#*:}
  count=${rest%%:*}
  case_objects=$old_objects
  [ "$rest" = "$count" ] || case_objects=${rest#*:}
  case $kind in
    current) prefix=cur ;;
    upgrade) prefix=upg ;;
    old) prefix=old ;;
    *) echo "unknown case $case" >&2; exit 2 ;;
  esac
  mapfile -t sites < <(sites_of $prefix "$count")
  printf '%s\n' "${sites[@]}" | write_settings

  # The statements of this layout, from a recorded run of the daemon.
  ensure_server
  prepare "$kind" "${sites[@]}"
  rm -f "$mysql/general.log"
  admin -e "set global general_log_file='$mysql/general.log'; set global general_log=1"
  run_daemon -m "${sites[@]}"
  admin -e "set global general_log=0"
  echo "$case: $(extract_statements)" >&2
  fingerprint "${sites[@]}" > "$work/recorded.txt"

  for setup in $setups; do
    option=
    [ "$setup" = running ] && option=-m
    daemon_times=() client_times=() floor_times=()
    for round in $(seq "$runs"); do
      ensure_server
      prepare "$kind" "${sites[@]}"
      [ "$setup" = own ] && stop_server
      run_daemon "$option" "${sites[@]}"
      daemon_times+=("$took")
      ensure_server
      [ "$round" = "$runs" ] && fingerprint "${sites[@]}" > "$work/daemon.txt"

      prepare "$kind" "${sites[@]}"
      [ "$setup" = own ] && stop_server
      run_client "$setup"
      client_times+=("$took")
      [ "$round" = "$runs" ] && fingerprint "${sites[@]}" > "$work/client.txt"
      echo "$setup $case round $round: daemon ${daemon_times[-1]} s, client ${client_times[-1]} s" >&2
      if [ "$kind" = old ] && [ "$setup" = running ]; then
        prepare "$kind" "${sites[@]}"
        run_floor "${sites[@]}"
        floor_times+=("$took")
        echo "floor $case round $round: ${floor_times[-1]} s" >&2
      fi
    done
    same=yes
    if ! cmp -s "$work/daemon.txt" "$work/client.txt" || ! cmp -s "$work/daemon.txt" "$work/recorded.txt"; then
      same="NO ($(summary "$work/daemon.txt") / $(summary "$work/client.txt"))"
      cp "$work/daemon.txt" "$work/daemon-$setup-$kind-$count.txt"
      cp "$work/client.txt" "$work/client-$setup-$kind-$count.txt"
      status=1
    fi
    read -r dmin dmed < <(printf '%s\n' "${daemon_times[@]}" | stats)
    read -r cmin cmed < <(printf '%s\n' "${client_times[@]}" | stats)
    printf '%-8s %-12s %8s / %-7s %8s / %-7s %6.2f / %-5.2f %4s/%-5s %8s %s\n' "$setup" "$case" "$dmin" "$dmed" \
      "$cmin" "$cmed" "$(echo "$dmin $cmin" | awk '{ print $1 / $2 }')" \
      "$(echo "$dmed $cmed" | awk '{ print $1 / $2 }')" "$daemon_refused" "$client_refused" "$daemon_connect" \
      "$same; $(summary "$work/daemon.txt")" >> "$report"
    if [ ${#floor_times[@]} -gt 0 ]; then
      read -r fmin fmed < <(printf '%s\n' "${floor_times[@]}" | stats)
      printf '%-8s %-12s %18s %8s / %-7s %6.2f / %-5.2f  (one ALTER TABLE ... FORCE per table; daemon / floor)\n' \
        floor "$case" "" "$fmin" "$fmed" "$(echo "$dmin $fmin" | awk '{ print $1 / $2 }')" \
        "$(echo "$dmed $fmed" | awk '{ print $1 / $2 }')" >> "$report"
    fi
  done
done
echo
echo "vtd: $VTD; $runs runs of each side, alternating"
cat "$report"
cat <<'EOT'

setup own: the database server was stopped; the daemon starts it, the client
side starts it with the same command line and waits until it answers.
setup running: the server runs already; the daemon runs with -m.
refused: statements the server refused, as the daemon printed them ("SQL
ERROR", the two silent ALTERs of each site not included) / as the client did.
CONNECT: "SQL CONNECT" lines in the daemon's error log in its last run.
same end: tables, columns, keys, row counts and the checksum of every
table's rows equal after the daemon's last run, the client's last run and
the recorded run.
floor: one ALTER TABLE ... FORCE per table (old cases); the ratio is the
daemon's time over the floor's.
EOT
exit $status

#!/usr/bin/env bash
# The units' hardening against what the daemon does: the daemon runs in a
# private mount namespace laid out as the unit's options lay it out, with no
# new privileges and the unit's umask, and must still do all of its work
# where it is allowed to, and fail to write where it is not.
#
#   hardening_test.sh SOURCE BUILD WORK
#
# ProtectSystem=full   /usr, /etc, /boot, /efi bound read-only; the program
#                      folder (a copy of the build's programs standing in for
#                      /usr/lib/vantry) lies in a read-only tree too
# ReadWritePaths=      the log folder in that tree bound writable again
# ProtectHome=yes      /home, /root, /run/user empty and closed
# NoNewPrivileges=yes  setpriv --no-new-privs
# UMask=0027           umask 0027
#
# The units' other options (the capability bounding set, private devices,
# the system call filter and the rest) need systemd itself; scripts/test-systemd
# runs the whole stack under them in a booted container.
#
# Then: with the install folder read-only (an install folder below /usr
# without the drop-in) the daemon cannot write httpd.conf and says so in its
# error log; with it writable (the drop-in's ReadWritePaths=) the whole demo
# stack runs: the database server (started here as the daemon starts it) and
# Apache with PHP (started by the daemon, dropping to www-data) work, the
# databases are upgraded, the sites answer, the error log and the generated
# files are written with the rights they must have.
#
# Exits 77 (skipped) with the reason where the tools or the rights are
# missing.
set -uo pipefail

source_dir=$1
build_dir=$2
work=$3

skip() {
  echo "SKIPPED: $*"
  exit 77
}

if [ "${4:-}" != inside ]; then
  [ "$(id -u)" -eq 0 ] || skip "mount namespaces and read-only bind mounts need root"
  for tool in unshare setpriv mount curl mariadbd mariadb apache2 php python3; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
  done
  rm -rf "$work"
  mkdir -p "$work"
  chmod 755 "$work"
  exec unshare -m --propagation private bash "$0" "$source_dir" "$build_dir" "$work" inside
fi

# ---- inside the namespace -------------------------------------------------
failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok:   $what"
  else
    echo "FAIL: $what"
    failures=$((failures + 1))
  fi
}
cannot_write() { ! touch "$1/.hardening-probe" 2>/dev/null; }
can_write() { touch "$1/.hardening-probe" 2>/dev/null && rm -f "$1/.hardening-probe"; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
read_only_bind() { mount --bind "$1" "$1" && mount -o remount,bind,ro "$1"; }

# Pids of the processes whose argv[0] is exactly $1.
started_as() {
  local entry argv0
  for entry in /proc/[0-9]*; do
    argv0=$( (tr '\0' '\n' < "$entry/cmdline") 2>/dev/null | head -n 1)
    [ "$argv0" = "$1" ] && echo "${entry#/proc/}"
  done
}

daemon=
mysqld_pid_file=
cleanup() {
  [ -z "$daemon" ] || { kill -KILL "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null; }
  local pid
  for pid in $(started_as "$work/install/apache/bin/httpd"); do kill -KILL "$pid" 2>/dev/null; done
  if [ -n "$mysqld_pid_file" ] && [ -s "$mysqld_pid_file" ]; then
    local pid
    pid=$(cat "$mysqld_pid_file")
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
  fi
}
trap cleanup EXIT

# The tree that stands for the read-only system: the program folder and the
# log folder that its "logs" link leads to.
system=$work/system
programs=$system/lib/vantry
logs=$system/log/vantry
mkdir -p "$programs" "$logs"
chmod 750 "$logs"
for program in vtd rtmpd vtpd; do
  cp "$build_dir/bin/$program" "$programs/"
done
ln -s "$logs" "$programs/logs"

install=$work/install
DEMO_PORT=$(free_port) DEMO_DB_PORT=$(free_port) "$source_dir/tools/demo/layout.sh" "$install" >/dev/null ||
  { echo "demo layout failed"; exit 1; }
port=$(sed -n 's/^"PortNumber"=dword:\(.*\)\r\?$/\1/p' "$install/vtd.reg")
port=$((16#$port))
# One value the daemon refuses, so that its error log gets a line at every
# start.
printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server]\n"RtmpPortNumber"=dword:00000000\n' >> "$install/vtd.reg"
# The same installation without databases, for the run that cannot write.
grep -v '^"sql_' "$install/vtd.reg" > "$work/no-databases.reg"

# The unit's namespace.
for folder in /usr /etc /boot /efi; do
  [ -d "$folder" ] && ! [ -L "$folder" ] || continue
  read_only_bind "$folder" || { echo "cannot bind $folder read-only"; exit 1; }
done
read_only_bind "$system" || exit 1
# A bind mount keeps the flags of the mount it comes from: made writable again.
mount --bind "$logs" "$logs" && mount -o remount,bind,rw "$logs" || exit 1
for folder in /home /root /run/user; do
  [ -d "$folder" ] || continue
  mount -t tmpfs -o mode=000,nosuid,nodev,noexec tmpfs "$folder" || exit 1
done

check "ProtectSystem: /usr cannot be written" cannot_write /usr/lib
check "ProtectSystem: /etc cannot be written" cannot_write /etc
check "ProtectSystem: the program folder cannot be written" cannot_write "$programs"
check "ReadWritePaths: the log folder can be written" can_write "$logs"
check "ProtectHome: /root is empty" test -z "$(ls -A /root)"

# run_daemon SETTINGS ARGUMENTS...: the daemon as the unit starts it, in the
# console (the service mode needs systemd), its output in $work/vtd.out.
run_daemon() {
  local settings=$1
  shift
  (
    cd "$work" || exit 1
    umask 0027
    export VTD_REGISTRY=$settings MYSQL_HOME=$install/mysql MYSQL_UNIX_PORT=$install/mysql/mysql.sock
    export VTD_SLEEP_DIVISOR=10
    exec setpriv --no-new-privs "$programs/vtd" -d "$@"
  ) > "$work/vtd.out" 2>&1 &
  daemon=$!
}
stop_daemon() { # SIGINT; the exit status in $status
  kill -INT "$daemon" 2>/dev/null
  for _ in $(seq 600); do
    kill -0 "$daemon" 2>/dev/null && [ "$(awk '{ print $3 }' "/proc/$daemon/stat" 2>/dev/null)" != Z ] || break
    sleep 0.1
  done
  kill -KILL "$daemon" 2>/dev/null
  wait "$daemon"
  status=$?
  daemon=
}
wait_for() { # wait_for TENTHS COMMAND...
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do
    "$@" && return 0
    sleep 0.1
  done
  "$@"
}
error_log_has() { cat "$logs"/error-*.log 2>/dev/null | grep -qF -- "$1"; }

# 1. The install folder read-only: no web configuration, and the daemon says
#    so in its error log.
read_only_bind "$install" || exit 1
run_daemon "$work/no-databases.reg" -m -h -r -s
check "read-only install folder: the daemon reports that it cannot write httpd.conf" \
  wait_for 300 error_log_has "ASSERT(fconf) failed at Httpd:76"
check "read-only install folder: no httpd.conf" test ! -e "$install/apache/conf/httpd.conf"
stop_daemon
check "read-only install folder: the daemon still stops with 0" test "$status" = 0
umount "$install" || exit 1
: > "$work/vtd.out"

# 2. The install folder writable, as with the drop-in: the whole stack. The
#    database server is started here as the daemon starts it, in the same
#    confinement: the daemon starts its own only when no database server
#    runs on the machine, which on a shared machine is not sure.
mysqld_pid_file=$install/mysql/mysqld.pid
(
  umask 0027
  export MYSQL_HOME=$install/mysql
  exec setpriv --no-new-privs "$install/mysql/bin/mysqld" -b "$install/mysql" -h "$install/mysql/data" \
    --init-file="$install/mysql/my.ini"
) > "$work/mysqld.out" 2>&1 &
database_ready() {
  mariadb --no-defaults -S "$install/mysql/mysql.sock" -u vantry -pvantry-demo -e 'select 1' >/dev/null 2>&1
}
check "the database server starts" wait_for 600 database_ready
run_daemon "$install/vtd.reg"
updated() { [ -s "$install/sites/default/runtime/updatedatabase.log" ] && [ -s "$install/sites/campus/runtime/updatedatabase.log" ]; }
check "the databases are upgraded and both sites run their update page" wait_for 1800 updated
page=$(curl -s --max-time 10 -H 'Host: campus.localhost' "http://127.0.0.1:$port/")
check "Apache with PHP serves the campus site and its database" \
  bash -c '[[ $1 == *"<h1>Site campus</h1>"* && $1 == *15.0.11* ]]' _ "$page"
check "the error log is written into the log folder" error_log_has '"RtmpPortNumber" refused'
check "httpd.conf: mode 644" test "$(stat -c %a "$install/apache/conf/httpd.conf")" = 644
check "serverconfig.php: mode 640, the web server's group" \
  test "$(stat -c '%a %G' "$install/sites/default/serverconfig.php")" = "640 www-data"
check "a folder the daemon made: mode 750 (the unit's umask), the web server's group" \
  test "$(stat -c '%a %G' "$install/sites/default/cache")" = "750 www-data"
check "error log file: mode 640" bash -c 'for f in "$1"/error-*.log; do [ "$(stat -c %a "$f")" = 640 ] || exit 1; done' _ "$logs"

# The programs run without new privileges and as their own users.
field() { awk -v name="$2:" '$1 == name { print $2 }' "/proc/$1/status" 2>/dev/null; }
apache_users=$(for pid in $(started_as "$install/apache/bin/httpd"); do echo "$(field "$pid" Uid) $(field "$pid" NoNewPrivs)"; done | sort -u)
echo "Apache processes (uid, NoNewPrivs): $(echo "$apache_users" | tr '\n' ';')"
www=$(id -u www-data)
check "Apache's children run as www-data without new privileges" grep -qx "$www 1" <<<"$apache_users"
mysqld_pid=$(cat "$mysqld_pid_file" 2>/dev/null)
check "the database server runs without new privileges" test "$(field "$mysqld_pid" NoNewPrivs)" = 1
check "the daemon wrote nothing into its program folder" \
  test "$(find "$programs" -mindepth 1 -printf '%P\n' | sort | tr '\n' ' ')" = "logs rtmpd vtd vtpd "

stop_daemon
check "the daemon stops with 0" test "$status" = 0
if [ "$failures" -ne 0 ]; then
  echo "--- the daemon's output (its end)"
  tail -n 40 "$work/vtd.out"
  echo "--- its error log"
  cat "$logs"/error-*.log 2>/dev/null
fi
echo "$failures check(s) failed"
[ "$failures" -eq 0 ]

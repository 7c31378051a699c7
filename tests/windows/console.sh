#!/usr/bin/env bash
# The Windows daemon in console mode under Wine, end to end: "vtd.exe -d -h"
# with its settings imported into the registry by the registry editor, the
# site database on a MariaDB server outside Wine (over TCP), the mysqld.exe
# stand-in in place of the database server's program. Checks the upgraded
# database's layout, the generated httpd.conf and serverconfig.php byte for
# byte, the firewall entries, the restart of a terminated program, and the
# stop on Ctrl+C (SIGINT to the Wine process).
#
#     console.sh BIN SOURCE_DIR
BIN=$1
SRC=$2
source "$SRC/tests/windows/wine.sh"

# A fixed install folder, so the generated files can be compared with fixed
# expected files.
INST_WIN='C:\VantryTest'
INST=$WINEPREFIX/drive_c/VantryTest
FIREWALL_KEY='HKLM\SYSTEM\ControlSet001\Services\SharedAccess\Parameters\FirewallPolicy\StandardProfile\AuthorizedApplications\List'
OUT=$(mktemp -d /tmp/vtd-win-console-XXXXXX)
VTD_PID=

cleanup() {
  [ -z "$VTD_PID" ] || kill -KILL "$VTD_PID" 2>/dev/null || true
  for name in vtd.exe httpd.exe rtmpd.exe vtpd.exe mysqld.exe; do win_kill "$name" >/dev/null || true; done
  stop_mariadb
  delete_key 'SOFTWARE\Vantry'
  delete_key 'SOFTWARE\KOLTINC'
  rm -rf "$INST" "$OUT"
}
trap cleanup EXIT

DB_PASSWORD_FIXED=wine-console-test
start_mariadb
db_root -e "SET PASSWORD FOR '$DB_USER'@'%' = PASSWORD('$DB_PASSWORD_FIXED')"
DB_PASSWORD=$DB_PASSWORD_FIXED
db_root -e "CREATE DATABASE wintest CHARACTER SET utf8mb4"

rm -rf "$INST"
mkdir -p "$INST/bin" "$INST/mysql/bin" "$INST/apache/conf" "$INST/apache/bin"
cp "$BIN/vtd.exe" "$BIN/rtmpd.exe" "$BIN/vtpd.exe" "$INST/bin/"
cp "$BIN/mysqld.exe" "$INST/mysql/bin/"
cp "$SRC"/tests/data/httpd/fragments/conf.* "$INST/apache/conf/"

delete_key 'SOFTWARE\Vantry'
delete_key 'SOFTWARE\KOLTINC'
# The registry editor's own export form: UTF-16LE with byte-order mark.
{
  printf '\xff\xfe'
  sed 's/$/\r/' <<REG | iconv -f UTF-8 -t UTF-16LE
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server]
"InstallFolder"="C:\\\\VantryTest"
"PortNumber"=dword:00001f90
"VtdMasterName"="localhost"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\default]
"sql_server"="127.0.0.1"
"sql_database"="wintest"
"sql_user"="$DB_USER"
"sql_password"="$DB_PASSWORD"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\default\\www.example.org]

; a second site without a database, answering two host names
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\campus]

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\campus\\www.campus.example.org]

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\campus\\campus.example.org]

[HKEY_LOCAL_MACHINE\\SOFTWARE\\KOLTINC\\OSTRAND\\Host]
"Computername"="WINTEST"
REG
} > "$OUT/settings.reg"
import_reg "$OUT/settings.reg"

# Job control gives the background daemon the default SIGINT handling that
# a terminal's Ctrl+C would meet.
set -m
MYSQL_TCP_PORT=$DB_PORT VTD_SLEEP_DIVISOR=10 VTD_PROCESS_FOLDER="$INST_WIN" \
  "$WINE" "$INST/bin/vtd.exe" -d -h </dev/null >"$OUT/vtd.out" 2>&1 &
VTD_PID=$!
set +m

started() { [ "$(grep -c "^$1: started" "$OUT/vtd.out")" -ge "$2" ]; }
wait_for 180 started vtpd 1 || fail "the daemon did not start vtpd.exe: $(tail -20 "$OUT/vtd.out")"
grep -q '^mysqld: started' "$OUT/vtd.out" || fail "mysqld.exe was not started"
grep -q '^rtmpd: started' "$OUT/vtd.out" || fail "rtmpd.exe was not started"
! grep -q '^httpd: started' "$OUT/vtd.out" || fail "httpd.exe was started despite -h"

# The site database, upgraded from nothing to this release's layout.
python3 "$SRC/tests/windows/layout.py" "$SRC/tests/data/schema/expected_layout.txt" wintest -- \
  mariadb --no-defaults --socket="$DB_SOCKET" -uroot || fail "the site database's layout"
version=$(db_root -N -B -e "select count(*) from information_schema.tables where table_schema='wintest'")
[ "$version" -gt 0 ] || fail "no tables in the site database"

# The generated files, with the Windows paths.
cmp "$SRC/tests/data/windows/httpd.conf" "$INST/apache/conf/httpd.conf" || fail "httpd.conf differs"
for site in default campus; do
  cmp "$SRC/tests/data/windows/$site.serverconfig.php" "$INST/sites/$site/serverconfig.php" ||
    fail "serverconfig.php of $site differs"
done

# Each started program is in the firewall's list of authorised programs.
win reg.exe query "$FIREWALL_KEY" >"$OUT/firewall.txt" || fail "no firewall list key"
for program in 'bin\rtmpd.exe' 'bin\vtpd.exe' 'mysql\bin\mysqld.exe'; do
  path="$INST_WIN\\$program"
  grep -qF "    $path    REG_SZ    $path:*:Enabled:@xpsp2res.dll,-22019" "$OUT/firewall.txt" ||
    fail "firewall entry of $path missing: $(cat "$OUT/firewall.txt")"
done

# A terminated program is started again.
first=$(win_pids rtmpd.exe)
[ -n "$first" ] || fail "rtmpd.exe does not run"
[ "$(win_kill rtmpd.exe)" = 1 ] || fail "rtmpd.exe could not be terminated"
restarted() { local now; now=$(win_pids rtmpd.exe); [ -n "$now" ] && [ "$now" != "$first" ]; }
wait_for 60 restarted || fail "rtmpd.exe was not started again"
wait_for 10 started rtmpd 2 || fail "the restarted rtmpd.exe did not say so"

# Ctrl+C: the managed programs end, the database server stays, exit code 0.
kill -INT "$VTD_PID"
status=0
wait "$VTD_PID" || status=$?
VTD_PID=
[ "$status" -eq 0 ] || fail "vtd.exe exited with $status after Ctrl+C: $(tail -5 "$OUT/vtd.out")"
for name in rtmpd.exe vtpd.exe; do
  ! win_running "$name" || fail "$name still runs after the stop"
done
win_running mysqld.exe || fail "the database server's program was stopped too"
echo "PASSED: console mode under Wine"

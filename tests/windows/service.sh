#!/usr/bin/env bash
# The Windows daemon as a real service of Wine's service manager: created,
# started and stopped with sc.exe. The service reports RUNNING once its
# start-up is done and supervises the stand-ins of all four managed
# programs; the stop ends with STOPPED and exit code 0, and the web server,
# rtmpd and vtpd are gone.
#
#     service.sh BIN SOURCE_DIR
BIN=$1
SRC=$2
source "$SRC/tests/windows/wine.sh"

SERVICE=vtd
INST_WIN='C:\VantrySvc'
INST=$WINEPREFIX/drive_c/VantrySvc
OUT=$(mktemp -d /tmp/vtd-win-service-XXXXXX)

cleanup() {
  "$WINE" sc.exe stop "$SERVICE" >/dev/null 2>&1 || true
  for name in vtd.exe httpd.exe rtmpd.exe vtpd.exe mysqld.exe; do win_kill "$name" >/dev/null || true; done
  "$WINE" sc.exe delete "$SERVICE" >/dev/null 2>&1 || true
  delete_key 'SOFTWARE\Vantry'
  rm -rf "$INST" "$OUT"
}
trap cleanup EXIT

"$WINE" sc.exe delete "$SERVICE" >/dev/null 2>&1 || true
rm -rf "$INST"
mkdir -p "$INST/bin" "$INST/mysql/bin" "$INST/apache/conf" "$INST/apache/bin"
cp "$BIN/vtd.exe" "$BIN/rtmpd.exe" "$BIN/vtpd.exe" "$INST/bin/"
cp "$BIN/mysqld.exe" "$INST/mysql/bin/"
cp "$BIN/httpd.exe" "$INST/apache/bin/"
cp "$SRC"/tests/data/httpd/fragments/conf.* "$INST/apache/conf/"

# Settings without sites: the service's environment is the service
# manager's, so it could not be pointed at a test database server.
delete_key 'SOFTWARE\Vantry'
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server]\r\n"InstallFolder"="C:\\\\VantrySvc"\r\n' \
  >"$OUT/settings.reg"
import_reg "$OUT/settings.reg"

# The service manager's answers (sc.exe query prints "STATE : 4  RUNNING").
state() { win sc.exe query "$SERVICE" | awk '$1 == "STATE" { print $4 }'; }
in_state() { [ "$(state)" = "$1" ]; }

win sc.exe create "$SERVICE" binPath= "$INST_WIN\\bin\\vtd.exe" >"$OUT/create.txt" ||
  fail "sc create: $(cat "$OUT/create.txt")"
win sc.exe start "$SERVICE" >"$OUT/start.txt" || fail "sc start: $(cat "$OUT/start.txt")"
wait_for 120 in_state RUNNING || fail "the service did not reach RUNNING: $(win sc.exe query "$SERVICE")"

all_running() { for name in httpd.exe rtmpd.exe vtpd.exe mysqld.exe; do win_running "$name" || return 1; done; }
wait_for 30 all_running || fail "the service did not start every managed program"

win sc.exe stop "$SERVICE" >"$OUT/stop.txt" || fail "sc stop: $(cat "$OUT/stop.txt")"
wait_for 60 in_state STOPPED || fail "the service did not reach STOPPED: $(win sc.exe query "$SERVICE")"
win sc.exe query "$SERVICE" >"$OUT/query.txt"
grep -Eq 'WIN32_EXIT_CODE +: 0 ' "$OUT/query.txt" || fail "exit code after the stop: $(cat "$OUT/query.txt")"
for name in httpd.exe rtmpd.exe vtpd.exe; do
  ! win_running "$name" || fail "$name still runs after the service stopped"
done
wait_for 10 eval '! win_running vtd.exe' || fail "vtd.exe still runs after the service stopped"
echo "PASSED: service mode under Wine"

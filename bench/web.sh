#!/usr/bin/env bash
# The web server under load (ab, from apache2-utils) on the demo
# installation: the daemon's web server against the same installation's
# Apache started by hand as a full server (-D FOREGROUND), in the same run,
# at 1, 20 and 50 visitors at once, on a page that waits 20 ms on its
# database and on the demo's index page. Then 5 reloads of the daemon under
# a load of 10 visitors, counting the requests that failed. Prints pages per
# second, the ratios daemon / by hand, and the failures, and checks that both
# sides served the same pages (status 200, same body).
#
#   bench/web.sh [seconds per measurement]     (5)
#
# Runs in process and network namespaces of its own (as root), so that the
# daemon sees and stops only its own programs and the ports are free
# whatever else runs on the machine. Needs build/bin/vtd.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${VTD_WEB_NAMESPACE:-}" != 1 ]; then
  exec env VTD_WEB_NAMESPACE=1 unshare --pid --fork --mount-proc --net "$0" "$@"
fi
ip link set lo up
seconds=${1:-5}
port=8080
vtd=$PWD/build/bin/vtd
[ -x "$vtd" ] || { echo "build/bin/vtd is missing: build first" >&2; exit 1; }
command -v ab >/dev/null || { echo "ab is missing: scripts/install-deps installs apache2-utils" >&2; exit 1; }
work=$(mktemp -d /var/tmp/vtd-web-bench-XXXXXX)
chmod 755 "$work"  # the web server's children (www-data) read the sites below it
dir=$work/demo
cleanup() {
  [ -z "${daemon:-}" ] || kill -TERM "$daemon" 2>/dev/null || true
  [ -z "${apache:-}" ] || kill -TERM "$apache" 2>/dev/null || true
  [ -z "${notify:-}" ] || kill "$notify" 2>/dev/null || true
  sleep 1
  [ ! -s "$dir/mysql/mysqld.pid" ] || kill -TERM "$(cat "$dir/mysql/mysqld.pid")" 2>/dev/null || true
  for _ in $(seq 100); do pgrep -x mysqld >/dev/null || break; sleep 0.2; done
  rm -rf "$work"
}
trap cleanup EXIT

DEMO_PORT=$port tools/demo/layout.sh "$dir" >/dev/null
# The 20 ms page: one statement that takes 20 ms on the site's database.
cat > "$dir/sites/default/htdocs/wait.php" <<'EOT'
<?php
$db = new mysqli(VANTRY_DBHOST, VANTRY_DBUSER, VANTRY_DBPASSWORD, VANTRY_DBNAME, 0, VANTRY_INSTALL . '/mysql/mysql.sock');
$row = $db->query('select sleep(0.02), 42')->fetch_row();
header('Content-Type: text/plain');
echo "waited, ", $row[1], "\n";
EOT
# shellcheck disable=SC1091
. "$dir/env.sh"
export RUNTIME_DIRECTORY=$work/run NOTIFY_SOCKET=$work/notify
# The service manager's side: reads and drops the daemon's notifications.
python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
while True:
    s.recv(4096)
' "$NOTIFY_SOCKET" &
notify=$!
for _ in $(seq 100); do [ -S "$NOTIFY_SOCKET" ] && break; sleep 0.05; done

pages=(/wait.php /index.php)
levels=(1 20 50)
url() { echo "http://127.0.0.1:$port$1"; }
wait_page() {
  for _ in $(seq 600); do
    [ "$(curl -s -o /dev/null -w '%{http_code}' "$(url /index.php)")" = 200 ] && return 0
    sleep 0.1
  done
  echo "no page served" >&2
  exit 1
}
# Runs ab for the given seconds; prints "pages/s failed".
measure() {
  local page=$1 visitors=$2 out
  out=$(ab -q -k -t "$seconds" -n 10000000 -c "$visitors" "$(url "$page")" 2>&1) || { echo "$out" >&2; exit 1; }
  local rate failed non2xx
  rate=$(awk '/^Requests per second:/ { print $4 }' <<<"$out")
  failed=$(awk '/^Failed requests:/ { print $3 }' <<<"$out")
  non2xx=$(awk '/^Non-2xx responses:/ { print $3 }' <<<"$out")
  echo "$rate $((failed + ${non2xx:-0}))"
}
# Saves status and body of every page, for the comparison of both sides.
save_pages() {
  local side=$1 page
  for page in "${pages[@]}"; do
    curl -s -o "$work/$side${page//\//_}.body" -w '%{http_code}\n' "$(url "$page")" >"$work/$side${page//\//_}.status"
  done
}
declare -A result
run_side() {
  local side=$1 page visitors
  save_pages "$side"
  for page in "${pages[@]}"; do
    for visitors in "${levels[@]}"; do
      result[$side,$page,$visitors]=$(measure "$page" "$visitors")
    done
  done
}

# The daemon, as the service manager runs it, with its own web server.
"$vtd" >"$work/vtd.out" 2>&1 &
daemon=$!
wait_page
run_side daemon

# 5 reloads under 10 visitors: each adds a host name to the settings, so
# every reload gives the web server a new configuration.
ab -q -t $((seconds + 8)) -n 10000000 -c 10 "$(url /index.php)" >"$work/reload.ab" 2>&1 &
load=$!
sleep 2
reloads_ok=0
for i in 1 2 3 4 5; do
  printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\campus\\reload%s.localhost]\n' "$i" >>"$dir/vtd.reg"
  if "$vtd" --reload "$daemon" >>"$work/reload.out" 2>&1; then reloads_ok=$((reloads_ok + 1)); fi
  sleep 1
done
wait "$load"
reload_total=$(awk '/^Complete requests:/ { print $3 }' "$work/reload.ab")
reload_failed=$(awk '/^Failed requests:/ { print $3 }' "$work/reload.ab")
reload_non2xx=$(awk '/^Non-2xx responses:/ { print $3 }' "$work/reload.ab")
reload_failed=$((reload_failed + ${reload_non2xx:-0}))
new_host=$(curl -s -o /dev/null -w '%{http_code}' -H 'Host: reload5.localhost' "$(url /index.php)")

kill -TERM "$daemon"
wait "$daemon" || true
daemon=
# The database server stays; the same installation's Apache, by hand.
setsid "$dir/apache/bin/httpd" -d "$dir/apache" -D FOREGROUND >"$work/apache.out" 2>&1 &
apache=$!
wait_page
run_side byhand
kill -TERM "$apache"
wait "$apache" || true
apache=

same=yes
for page in "${pages[@]}"; do
  f=${page//\//_}
  if [ "$(cat "$work/daemon$f.status")" != 200 ] || [ "$(cat "$work/byhand$f.status")" != 200 ] ||
    ! cmp -s "$work/daemon$f.body" "$work/byhand$f.body"; then
    same=no
    echo "page $page differs: daemon $(cat "$work/daemon$f.status"), by hand $(cat "$work/byhand$f.status")" >&2
  fi
done

printf '%-12s %8s %14s %14s %7s %s\n' page visitors "daemon pages/s" "by hand pages/s" ratio "failed (daemon/by hand)"
for page in "${pages[@]}"; do
  for visitors in "${levels[@]}"; do
    read -r d df <<<"${result[daemon,$page,$visitors]}"
    read -r h hf <<<"${result[byhand,$page,$visitors]}"
    printf '%-12s %8s %14s %14s %7.2f %s/%s\n' "$page" "$visitors" "$d" "$h" "$(awk -v a="$d" -v b="$h" 'BEGIN { print a / b }')" "$df" "$hf"
  done
done
echo "reloads under 10 visitors: $reloads_ok of 5 done, $reload_failed of $reload_total requests failed;" \
  "the host name added by the last reload answered with $new_host"
echo "both sides served the same pages (status 200, same body): $same"
[ "$same" = yes ] && [ "$reloads_ok" = 5 ] && [ "$reload_failed" = 0 ] && [ "$new_host" = 200 ]

# Helpers of the Windows tests that drive programs under Wine from the shell
# (sourced). scripts/test-windows has set WINEPREFIX and started the Wine
# server; BIN is the Windows build's bin/ folder.
set -euo pipefail

WINE=${WINE:-/usr/lib/wine/wine64}

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# The Windows form of a Unix path (Wine's drive Z: is the Unix root).
winpath() {
  local p
  p=$(realpath -m "$1")
  printf 'Z:%s' "${p//\//\\}"
}

# Runs a Windows program; its output with the CR of CR LF line ends removed.
win() {
  "$WINE" "$@" | tr -d '\r'
}

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

# Process ids of the Windows processes of an executable name (for example
# rtmpd.exe), one a line.
win_pids() {
  win "$BIN/winps.exe" list "$1"
}

win_running() {
  [ -n "$(win_pids "$1")" ]
}

# Terminates every process of an executable name; prints how many ended.
win_kill() {
  win "$BIN/winps.exe" kill "$1"
}

# Imports a .reg file into the prefix's registry with the registry editor.
import_reg() {
  "$WINE" regedit.exe /S "$(winpath "$1")"
}

# Removes a key below HKEY_LOCAL_MACHINE with everything in it.
delete_key() {
  "$WINE" reg.exe delete "HKLM\\$1" /f >/dev/null 2>&1 || true
}

# A private MariaDB server on a free loopback port, with a TCP account that
# logs in with a password (the Windows client library cannot use the Unix
# socket). Sets DB_DIR, DB_PORT, DB_USER, DB_PASSWORD, DB_SOCKET; stopped by
# stop_mariadb.
start_mariadb() {
  DB_DIR=$(mktemp -d /tmp/vtd-win-db-XXXXXX)
  DB_SOCKET=$DB_DIR/mariadbd.sock
  DB_USER=vtdwin
  DB_PASSWORD=wine-$RANDOM$RANDOM
  mkdir -p "$DB_DIR/tmp"
  mariadb-install-db --no-defaults --user=root --datadir="$DB_DIR/data" --tmpdir="$DB_DIR/tmp" \
    --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve >"$DB_DIR/install.log" 2>&1 ||
    fail "mariadb-install-db: $(tail -5 "$DB_DIR/install.log")"
  DB_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  mariadbd --no-defaults --user=root --datadir="$DB_DIR/data" --tmpdir="$DB_DIR/tmp" --socket="$DB_SOCKET" \
    --port="$DB_PORT" --bind-address=127.0.0.1 --pid-file="$DB_DIR/mariadbd.pid" --lower-case-table-names=1 \
    --skip-log-bin --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    --innodb-buffer-pool-size=32M --innodb-flush-log-at-trx-commit=0 --skip-name-resolve \
    >"$DB_DIR/server.log" 2>&1 &
  DB_PID=$!
  wait_for 60 mariadb-admin --no-defaults --socket="$DB_SOCKET" -uroot ping >/dev/null 2>&1 ||
    fail "MariaDB did not start: $(tail -5 "$DB_DIR/server.log")"
  db_root -e "CREATE USER '$DB_USER'@'%' IDENTIFIED BY '$DB_PASSWORD';
              GRANT ALL PRIVILEGES ON *.* TO '$DB_USER'@'%' WITH GRANT OPTION;
              DELETE FROM mysql.global_priv WHERE User = ''; FLUSH PRIVILEGES;"
}

db_root() {
  mariadb --no-defaults --socket="$DB_SOCKET" -uroot "$@"
}

stop_mariadb() {
  if [ -n "${DB_PID:-}" ]; then
    kill "$DB_PID" 2>/dev/null || true
    wait "$DB_PID" 2>/dev/null || true
    DB_PID=
  fi
  [ -z "${DB_DIR:-}" ] || rm -rf "$DB_DIR"
}

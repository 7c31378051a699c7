#!/usr/bin/env bash
# The installation of the daemon, checked with Debian's own tools.
#
#   package_test.sh install SOURCE BUILD WORK   cmake --install of BUILD into a
#       staging folder: layout, units (systemd-analyze verify), settings
#       sample kept over a second install, log rotation rule (logrotate)
#   package_test.sh deb SOURCE BUILD WORK       scripts/package: the .deb,
#       lintian, its contents, its units (systemd-analyze verify)
#   package_test.sh dpkg SOURCE BUILD WORK      dpkg -i of that .deb, the
#       daemon run from it with the sample settings, dpkg --purge, and no
#       file of the package left behind
#
# Exits 77 (skipped) with the reason where the tools or the rights are
# missing.
set -uo pipefail

mode=$1
source_dir=$2
build_dir=$3
work=$4
mkdir -p "$work"

failures=0
check() { # check DESCRIPTION COMMAND...: runs the command, reports the result
  local what=$1
  shift
  if "$@"; then
    echo "ok:   $what"
  else
    echo "FAIL: $what"
    failures=$((failures + 1))
  fi
}
skip() {
  echo "SKIPPED: $*"
  exit 77
}
finish() {
  echo "$failures check(s) failed"
  [ "$failures" -eq 0 ] && exit 0
  exit 1
}
need() { # need TOOL...: skips unless every tool is there
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
  done
}

link_is() { [ -L "$1" ] && [ "$(readlink "$1")" = "$2" ]; }
mode_is() { [ "$(stat -c %a "$1")" = "$2" ]; }
has_line() { grep -qxF -- "$2" "$1"; }
no_stand_ins() { ! find "$1" \( -name rtmpd -o -name vtpd \) | grep -q .; }

# verify_units ROOT MANPATH UNIT...: systemd-analyze verify on the unit files
# as units of ROOT (so the programs they name are looked for there), given
# the machine's own units beside them (the targets, the database server's
# unit) and the machine's kill (procps, a dependency of the package) that
# ExecReload= names; any message counts as a failure.
verify_units() {
  local root=$1 manpath=$2
  shift 2
  mkdir -p "$root/lib/systemd/system" "$root/etc/systemd/system" "$root/bin"
  cp -a /lib/systemd/system/. "$root/lib/systemd/system/"
  [ -e "$root/bin/kill" ] || cp "$(readlink -f /bin/kill)" "$root/bin/kill"
  local units=() unit out
  for unit in "$@"; do
    cp "$unit" "$root/etc/systemd/system/"
    units+=("/etc/systemd/system/$(basename "$unit")")
  done
  out=$(MANPATH=$manpath systemd-analyze verify --root="$root" "${units[@]}" 2>&1)
  local status=$?
  [ -z "$out" ] || printf '%s\n' "$out"
  [ $status -eq 0 ] && [ -z "$out" ]
}

month() { date -d "$(date +%Y-%m-01) $1 months ago" +%Y%m; }

# The rotation rule run by logrotate on a copy pointed at a folder of its own:
# last month's file is compressed, this month's left alone, rotated files of
# more than a year back removed and those of a year back kept.
check_logrotate() {
  local rule=$1 folder=$work/logrotate
  rm -rf "$folder"
  mkdir -p "$folder/log"
  chmod 700 "$folder"
  sed "s|/var/log/vantry|$folder/log|g" "$rule" > "$folder/rule"
  echo "before the year" | gzip > "$folder/log/error-$(month 13).log.1.gz"
  echo "a year back" | gzip > "$folder/log/error-$(month 12).log.1.gz"
  echo "last month" > "$folder/log/error-$(month 1).log"
  echo "this month" > "$folder/log/error-$(month 0).log"
  # logrotate last saw last month's file in that month.
  (umask 077 && printf 'logrotate state -- version 2\n"%s" %s-1-0:0:0\n' "$folder/log/error-$(month 1).log" \
    "$(date -d "$(date +%Y-%m-01) 1 month ago" +%Y-%-m)" > "$folder/state")
  logrotate -s "$folder/state" "$folder/rule" || return 1
  local expected actual
  expected=$(printf '%s\n' "error-$(month 0).log" "error-$(month 1).log.1.gz" "error-$(month 12).log.1.gz" | sort)
  actual=$(cd "$folder/log" && ls | sort)
  if [ "$expected" != "$actual" ]; then
    printf 'expected:\n%s\nfound:\n%s\n' "$expected" "$actual"
    return 1
  fi
  [ "$(gzip -dc "$folder/log/error-$(month 1).log.1.gz")" = "last month" ] &&
    [ "$(cat "$folder/log/error-$(month 0).log")" = "this month" ]
}

case $mode in
install)
  need cmake systemd-analyze logrotate
  stage=$work/stage
  prefix=/opt/vtd-test
  rm -rf "$stage"
  DESTDIR=$stage cmake --install "$build_dir" --prefix "$prefix" >/dev/null || { echo "cmake --install failed"; exit 1; }
  p=$stage$prefix
  check "the program in lib/vantry" test -x "$p/lib/vantry/vtd"
  check "sbin/vtd links to it" link_is "$p/sbin/vtd" ../lib/vantry/vtd
  check "the settings check in lib/vantry" test -x "$p/lib/vantry/vtd-check"
  check "sbin/vtd-check links to it" link_is "$p/sbin/vtd-check" ../lib/vantry/vtd-check
  check "lib/vantry/logs links to /var/log/vantry" link_is "$p/lib/vantry/logs" /var/log/vantry
  check "/var/log/vantry made, mode 750" mode_is "$stage/var/log/vantry" 750
  check "the settings sample in /etc/vantry, mode 600" mode_is "$stage/etc/vantry/vtd.reg" 600
  check "the settings sample as written" cmp -s "$stage/etc/vantry/vtd.reg" "$source_dir/scripts/etc/vtd.reg"
  check "the man pages" test -s "$p/share/man/man8/vtd.8" -a -s "$p/share/man/man8/vtd-check.8" -a \
    -s "$p/share/man/man5/vtd.reg.5"
  check "no stand-in installed" no_stand_ins "$stage"
  units=$p/lib/systemd/system
  check "vtd.service runs the installed program" has_line "$units/vtd.service" "ExecStart=$prefix/sbin/vtd"
  check "vtd@.service runs the installed program as instance %i" \
    has_line "$units/vtd@.service" "ExecStart=$prefix/sbin/vtd -n %i"
  check "vtd.service checks the settings first" has_line "$units/vtd.service" "ExecStartPre=$prefix/sbin/vtd-check"
  check "vtd@.service checks the instance's settings first" \
    has_line "$units/vtd@.service" "ExecStartPre=$prefix/sbin/vtd-check -n %i"
  check "vtd.service reloads through the program and waits for the outcome" \
    has_line "$units/vtd.service" "ExecReload=$prefix/sbin/vtd --reload \$MAINPID"
  check "vtd@.service reloads instance %i through the program" \
    has_line "$units/vtd@.service" "ExecReload=$prefix/sbin/vtd -n %i --reload \$MAINPID"
  check "vtd.service has its runtime folder for the reload's outcome" \
    has_line "$units/vtd.service" "RuntimeDirectory=vtd"
  check "vtd@.service has one runtime folder per instance" \
    has_line "$units/vtd@.service" "RuntimeDirectory=vtd-%i"
  for unit in vtd.service vtd@.service; do
    check "$unit: Type=notify" has_line "$units/$unit" "Type=notify"
    check "$unit: TimeoutStartSec=infinity" has_line "$units/$unit" "TimeoutStartSec=infinity"
    check "$unit: KillMode=process" has_line "$units/$unit" "KillMode=process"
    # Ordered after the machine's database server, but never pulling it in:
    # a running one keeps the installation's own from starting.
    check "$unit: Wants= the network only" has_line "$units/$unit" "Wants=network-online.target"
    check "$unit: does not pull in the machine's database server" bash -c '! grep -q "^Wants=.*mariadb" "$1"' _ \
      "$units/$unit"
    check "$unit: After= the database server and the network" \
      has_line "$units/$unit" "After=mariadb.service network-online.target"
    check "$unit: Documentation= the man pages" has_line "$units/$unit" "Documentation=man:vtd(8) man:vtd.reg(5)"
    for line in ProtectSystem=full "ReadWritePaths=-/var/log/vantry" \
      ProtectHome=yes NoNewPrivileges=yes UMask=0027; do
      check "$unit: $line" has_line "$units/$unit" "$line"
    done
    for line in "CapabilityBoundingSet=CAP_CHOWN CAP_DAC_OVERRIDE CAP_FOWNER CAP_KILL CAP_SETUID CAP_SETGID CAP_NET_BIND_SERVICE CAP_SYS_RESOURCE" \
      PrivateDevices=yes ProtectKernelTunables=yes ProtectKernelModules=yes ProtectKernelLogs=yes ProtectClock=yes \
      ProtectHostname=yes ProtectControlGroups=yes RestrictNamespaces=yes PrivateMounts=yes LockPersonality=yes \
      SystemCallArchitectures=native RestrictRealtime=yes RestrictSUIDSGID=yes SystemCallFilter=@system-service \
      SystemCallErrorNumber=EPERM "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK"; do
      check "$unit: $line" has_line "$units/$unit" "$line"
    done
    # The exposure that systemd rates the unit at, 0 to 10 (here times 10):
    # 6.0 at most.
    check "$unit: systemd-analyze security rates it 6.0 or better" \
      systemd-analyze security --offline=yes --threshold=60 "$units/$unit"
  done
  check "no template placeholder left" bash -c '! grep -l "@[A-Z_]*@" "$@"' _ "$units"/* "$stage/etc/logrotate.d/vtd"
  check "systemd-analyze verify on the installed units" \
    verify_units "$stage" "$p/share/man" "$units/vtd.service" "$units/vtd@.service"
  check "logrotate: compressed after the month, removed after a year" check_logrotate "$stage/etc/logrotate.d/vtd"

  # A second install keeps the administrator's settings.
  echo '; the administrator' >> "$stage/etc/vantry/vtd.reg"
  cp "$stage/etc/vantry/vtd.reg" "$work/settings.admin"
  DESTDIR=$stage cmake --install "$build_dir" --prefix "$prefix" >/dev/null || { echo "second cmake --install failed"; exit 1; }
  check "a second install keeps the settings file" cmp -s "$stage/etc/vantry/vtd.reg" "$work/settings.admin"
  finish
  ;;

deb)
  need dpkg-buildpackage dh lintian scdoc systemd-analyze
  [ "$(id -u)" -eq 0 ] || command -v fakeroot >/dev/null || skip "neither root nor fakeroot"
  out=$work/deb
  rm -rf "$out"
  log=$work/package.log
  if ! "$source_dir/scripts/package" "$out" > "$log" 2>&1; then
    tail -n 50 "$log"
    echo "scripts/package failed (log: $log)"
    exit 1
  fi
  deb=$(tail -n 1 "$log")
  echo "package: $deb"
  check "scripts/package names the .deb" test -f "$deb"
  check "the source tree has no build output" test ! -e "$source_dir/debian/vtd" -a ! -e "$source_dir/debian/files"

  lint=$(lintian "$deb" 2>&1 | grep -v '^running with root privileges')
  [ -z "$lint" ] || printf 'lintian:\n%s\n' "$lint"
  check "lintian reports no error" bash -c '! grep -q "^E:" <<<"$1"' _ "$lint"

  contents=$work/contents
  dpkg-deb -c "$deb" | awk '{ mode = $1; $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print mode " " $0 }' > "$contents"
  cat "$contents"
  for entry in \
    "-rwxr-xr-x ./usr/lib/vantry/vtd" \
    "lrwxrwxrwx ./usr/sbin/vtd -> ../lib/vantry/vtd" \
    "-rwxr-xr-x ./usr/lib/vantry/vtd-check" \
    "lrwxrwxrwx ./usr/sbin/vtd-check -> ../lib/vantry/vtd-check" \
    "lrwxrwxrwx ./usr/lib/vantry/logs -> /var/log/vantry" \
    "drwxr-x--- ./var/log/vantry/" \
    "-rw------- ./etc/vantry/vtd.reg" \
    "-rw-r--r-- ./etc/logrotate.d/vtd" \
    "-rw-r--r-- ./lib/systemd/system/vtd.service" \
    "-rw-r--r-- ./lib/systemd/system/vtd@.service" \
    "-rw-r--r-- ./usr/share/man/man8/vtd.8.gz" \
    "-rw-r--r-- ./usr/share/man/man8/vtd-check.8.gz" \
    "-rw-r--r-- ./usr/share/man/man5/vtd.reg.5.gz"; do
    check "contents: $entry" has_line "$contents" "$entry"
  done
  check "contents: no rtmpd or vtpd" bash -c '! grep -Eq "/(rtmpd|vtpd)$" "$1"' _ "$contents"

  control=$work/control
  rm -rf "$control"
  dpkg-deb -e "$deb" "$control"
  check "conffile: /etc/vantry/vtd.reg" has_line "$control/conffiles" /etc/vantry/vtd.reg
  check "conffile: /etc/logrotate.d/vtd" has_line "$control/conffiles" /etc/logrotate.d/vtd
  version=$(dpkg-deb -f "$deb" Version)
  check "version $version is the program's" \
    grep -q "ProgramVersion = \"${version%-*}\"" "$source_dir/config/Config.h"
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "Depends: $depends"
  check "Depends: the database client library and libsystemd" \
    bash -c '[[ $1 == *libmariadb3* && $1 == *libsystemd0* ]]' _ "$depends"

  root=$work/root
  rm -rf "$root"
  dpkg-deb -x "$deb" "$root"
  check "systemd-analyze verify on the packaged units" verify_units "$root" "$root/usr/share/man" \
    "$root/lib/systemd/system/vtd.service" "$root/lib/systemd/system/vtd@.service"
  check "packaged unit runs /usr/sbin/vtd" has_line "$root/lib/systemd/system/vtd.service" "ExecStart=/usr/sbin/vtd"
  check "packaged unit checks the settings with /usr/sbin/vtd-check" \
    has_line "$root/lib/systemd/system/vtd.service" "ExecStartPre=/usr/sbin/vtd-check"
  finish
  ;;

dpkg)
  need dpkg systemd-analyze
  [ "$(id -u)" -eq 0 ] || skip "installing the package needs root"
  deb=$(ls "$work"/deb/vtd_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || skip "no package built (the package_deb test makes it)"
  if dpkg-query -W -f='${Status}' vtd 2>/dev/null | grep -q installed; then
    skip "the package vtd is installed on this machine already"
  fi
  for path in /etc/vantry /usr/lib/vantry /var/log/vantry /usr/sbin/vtd /etc/logrotate.d/vtd; do
    [ ! -e "$path" ] && [ ! -L "$path" ] || skip "$path exists on this machine already"
  done

  # The folders that the package puts files in, and the service helper's
  # state, listed before the installation and after the purge.
  watched=(/etc /lib/systemd/system /usr/lib /usr/sbin /usr/share/man/man5 /usr/share/man/man8 /usr/share/doc
           /var/log /var/lib/systemd /var/lib/dpkg/info)
  listing() {
    local folder
    for folder in "${watched[@]}"; do
      [ -d "$folder" ] || continue
      find "$folder" -maxdepth 1 -printf '%p\n'
    done
    find /etc/systemd /var/lib/systemd -printf '%p\n' 2>/dev/null
  }
  listing | sort > "$work/before"

  export DEBIAN_FRONTEND=noninteractive
  # Whatever happens below, the daemon ends and the package leaves again.
  pid=
  installed=
  cleanup() {
    [ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null
    [ -z "$installed" ] || dpkg --purge vtd >/dev/null 2>&1
  }
  trap cleanup EXIT
  installed=1
  if ! dpkg -i "$deb" > "$work/dpkg-i.log" 2>&1; then
    cat "$work/dpkg-i.log"
    echo "dpkg -i failed"
    exit 1
  fi
  dpkg -L vtd | sort > "$work/files"
  check "installed: /usr/sbin/vtd reaches /usr/lib/vantry/vtd" test "$(readlink -f /usr/sbin/vtd)" = /usr/lib/vantry/vtd
  check "installed: /var/log/vantry, mode 750, group adm" test "$(stat -c '%a %G' /var/log/vantry)" = "750 adm"
  check "installed: /etc/vantry/vtd.reg, mode 600" mode_is /etc/vantry/vtd.reg 600
  check "installed: the service is not enabled" test ! -e /etc/systemd/system/multi-user.target.wants/vtd.service
  out=$(systemd-analyze verify /lib/systemd/system/vtd.service /lib/systemd/system/vtd@.service 2>&1)
  [ -z "$out" ] || printf '%s\n' "$out"
  check "installed: systemd-analyze verify on the units" test -z "$out"

  # The daemon from the package with the sample settings, in the console.
  # VTD_PROCESS_FOLDER keeps its stop from ending the programs of others on
  # this machine that have the names of its managed programs.
  run=$work/run
  mkdir -p "$run"
  cd "$run" || exit 1
  env -u VTD_REGISTRY VTD_PROCESS_FOLDER=/usr/lib/vantry /usr/sbin/vtd -d -m -h -r -s > "$run/out" 2>&1 &
  pid=$!
  # Up once it has taken the stop signals for its control thread: they are
  # blocked in the main thread only after start-up.
  up=
  for _ in $(seq 600); do
    kill -0 "$pid" 2>/dev/null || break
    blocked=$(awk '/^SigBlk:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
    if [ -n "$blocked" ] && (( (0x$blocked & 0x4006) == 0x4006 )); then up=1; break; fi
    sleep 0.1
  done
  check "the daemon comes up with the sample settings" test -n "$up"
  # Two supervision passes.
  sleep 5
  check "the daemon runs its supervision loop" kill -0 "$pid"
  kill -INT "$pid" 2>/dev/null
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null && [ "$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null)" != Z ] || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && [ "$(awk '{ print $3 }' "/proc/$pid/stat")" != Z ] && echo "no exit 30 s after SIGINT"
  kill -KILL "$pid" 2>/dev/null
  wait "$pid"
  status=$?
  pid=
  cd "$work" || exit 1
  echo "--- the daemon's output"
  cat "$run/out"
  echo "--- its error log"
  cat /var/log/vantry/* 2>/dev/null
  echo "---"
  check "SIGINT stops it with exit code 0" test "$status" -eq 0
  check "the sample settings load cleanly" bash -c '! grep -Eq "settings (refused|file .* not found)" "$1"' _ "$run/out"
  # Every time-stamped report on the console also went to the error log,
  # through the link to /var/log/vantry.
  check "the error log lands in /var/log/vantry" bash -c '
    grep "^\[[0-9/]* [0-9:]*\] " "$1" | while IFS= read -r line; do
      cat /var/log/vantry/error-*.log 2>/dev/null | grep -qxF -- "$line" || { echo "not in the error log: $line"; exit 1; }
    done' _ "$run/out"
  check "the logs link is still a link" link_is /usr/lib/vantry/logs /var/log/vantry
  check "the daemon wrote nothing into its program folder" \
    test "$(find /usr/lib/vantry -mindepth 1 -printf '%P\n' | sort | tr '\n' ' ')" = "logs vtd vtd-check "

  # The settings check from the package: the sample settings define the key
  # but no install folder, which it reports, and it writes nothing.
  env -u VTD_REGISTRY /usr/sbin/vtd-check > "$work/check.out" 2>&1
  check_status=$?
  cat "$work/check.out"
  check "vtd-check: the sample settings are not ready to run (exit 1)" test "$check_status" -eq 1
  check "vtd-check: it says InstallFolder is not set" grep -q '^settings: "InstallFolder" is not set' "$work/check.out"
  check "vtd-check: its verdict is the last line" bash -c '[ "$(tail -n 1 "$1")" = "Settings not OK: 1 problem" ]' \
    _ "$work/check.out"

  installed=
  if ! dpkg --purge vtd > "$work/dpkg-purge.log" 2>&1; then
    cat "$work/dpkg-purge.log"
    echo "dpkg --purge failed"
    exit 1
  fi
  listing | sort > "$work/after"
  left=$(while read -r file; do [ -e "$file" ] || [ -L "$file" ] && [ ! -d "$file" ] && echo "$file"; done < "$work/files")
  [ -z "$left" ] || printf 'left behind:\n%s\n' "$left"
  check "purge: no file of the package left" test -z "$left"
  check "purge: /var/log/vantry, /etc/vantry and /usr/lib/vantry gone" \
    test ! -e /var/log/vantry -a ! -e /etc/vantry -a ! -e /usr/lib/vantry
  diff "$work/before" "$work/after" && changed= || changed=1
  check "purge: the watched folders as before the installation" test -z "$changed"
  finish
  ;;
*)
  echo "unknown mode $mode"
  exit 2
  ;;
esac

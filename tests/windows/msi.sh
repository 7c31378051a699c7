#!/usr/bin/env bash
# The Windows installer (scripts/package-windows): its tables read with
# msiinfo, then the installer under Wine's msiexec: install and start, an
# uninstall while the service runs (repeated VTD_MSI_CYCLES times, 2 unless
# set), a reinstall that keeps an administrator's changed value and added
# site, and an upgrade to a higher version while the service runs. Each step
# is judged by the files, `sc qc`/`sc query`, `reg query` and the process
# list.
#
# The install folder holds a blank (C:\Program Files\Vantry Test, given on
# the msiexec command line) and a program is planted at C:\Program.exe, the
# first blank-cut prefix of both the service's command and the managed
# programs' paths: it must never run.
#
#     msi.sh BIN SOURCE_DIR
BIN=$1
SRC=$2
source "$SRC/tests/windows/wine.sh"
command -v msiinfo >/dev/null || fail "msiinfo is missing (scripts/install-deps windows)"

CYCLES=${VTD_MSI_CYCLES:-2}
SERVICE=vtd
PROGRAM_DIR=$WINEPREFIX/drive_c/Program\ Files/Vantry
INST_WIN='C:\Program Files\Vantry Test'
INST=$WINEPREFIX/drive_c/Program\ Files/Vantry\ Test
PLANTED=$WINEPREFIX/drive_c/Program.exe
KEY='HKLM\SOFTWARE\Vantry\Server'
OUT=$(mktemp -d /tmp/vtd-win-msi-XXXXXX)

cleanup() {
  "$WINE" msiexec.exe /x "$(winpath "$OUT/vtd.msi")" /qn >/dev/null 2>&1 || true
  "$WINE" msiexec.exe /x "$(winpath "$OUT/vtd-upgrade.msi")" /qn >/dev/null 2>&1 || true
  "$WINE" sc.exe stop "$SERVICE" >/dev/null 2>&1 || true
  for name in vtd.exe httpd.exe mysqld.exe Program.exe; do win_kill "$name" >/dev/null || true; done
  "$WINE" sc.exe delete "$SERVICE" >/dev/null 2>&1 || true
  delete_key 'SOFTWARE\Vantry'
  rm -rf "$INST" "$PROGRAM_DIR" "$PLANTED" "$OUT"
}
trap cleanup EXIT

# The installers: this version and a higher one.
version=$(sed -n 's/.*ProgramVersion = "\([0-9.]*\)".*/\1/p' "$SRC/config/Config.h")
upgrade_version=${version%.*}.$((${version##*.} + 1))
# VTD_MSI and VTD_MSI_UPGRADE name other installers of these two versions
# (for example ones built with a part left out, to see the test fail).
if [ -n "${VTD_MSI:-}" ]; then
  cp "$VTD_MSI" "$OUT/vtd.msi"
  cp "$VTD_MSI_UPGRADE" "$OUT/vtd-upgrade.msi"
else
  msi=$("$SRC/scripts/package-windows" | tail -1)
  cp "$msi" "$OUT/vtd.msi"
  msi=$("$SRC/scripts/package-windows" --version "$upgrade_version" | tail -1)
  mv "$msi" "$OUT/vtd-upgrade.msi"
fi

# --- The tables (VTD_MSI_SKIP_TABLES=1 goes straight to the Wine part) ---
table() { msiinfo export "$OUT/${2:-vtd.msi}" "$1" | tr -d '\r' | tail -n +4; }
row_of() { table "$1" | awk -F'\t' -v k="$2" '$1 == k'; }
expect_row() {
  local got
  got=$(row_of "$1" "$2")
  [ "$got" = "$3" ] || fail "$1 row $2: got [${got//$'\t'/|}], want [${3//$'\t'/|}]"
}
TAB=$'\t'
property() { row_of Property "$1" | cut -f2; }
# The settings values the installer writes, as the Registry table holds them.
declare -A defaults=(
  [InstallFolder]='[INSTALLFOLDER]' [PortNumber]='#80' [HttpEnabled]='#1' [HttpsPortNumber]='#443'
  [HttpsEnabled]='#0' [HttpsCertificateId]='#0' [RtmpPortNumber]='#1935' [RtmpEnabled]='#1'
  [TranscodeThreads]='#1' [VtdRole]='#1' [VtdMasterName]='localhost' [TimeZone]='America/New_York'
)

if [ -z "${VTD_MSI_SKIP_TABLES:-}" ]; then

# The service: own process (16), automatic start (2), error control normal
# (1), LocalSystem, with a description; in the component of vtd.exe.
expect_row ServiceInstall Service "Service${TAB}vtd${TAB}Vantry Server${TAB}16${TAB}2${TAB}1${TAB}${TAB}${TAB}LocalSystem${TAB}${TAB}${TAB}Program${TAB}Runs the Vantry sites: their database server, web server and media daemons."
# Stopped at install and uninstall and deleted at uninstall, waiting (2 + 32
# + 128); started at install without waiting.
expect_row ServiceControl ServiceStop "ServiceStop${TAB}vtd${TAB}162${TAB}${TAB}1${TAB}Program"
expect_row ServiceControl ServiceStart "ServiceStart${TAB}vtd${TAB}1${TAB}${TAB}0${TAB}Program"
# Only vtd.exe is installed.
[ "$(table File | cut -f1,3 | tr '\t' ' ')" = "vtd.exe vtd.exe" ] || fail "File table: $(table File)"
# Every settings value in a permanent (16), 64-bit (256) registry-keyed (4)
# component written only when the value does not exist yet.
[ "$(table Registry | wc -l)" = "${#defaults[@]}" ] || fail "Registry table: $(table Registry)"
for name in "${!defaults[@]}"; do
  row=$(table Registry | awk -F'\t' -v n="$name" '$4 == n')
  [ "$(cut -f2,3,5,6 <<<"$row")" = "2${TAB}SOFTWARE\\Vantry\\Server${TAB}${defaults[$name]}${TAB}Setting$name" ] ||
    fail "Registry row of $name: ${row//$'\t'/|}"
  [ "$(row_of Component "Setting$name" | cut -f4,5)" = "276${TAB}NOT HAS_${name^^}" ] ||
    fail "component of $name: $(row_of Component "Setting$name")"
  [ "$(row_of RegLocator "Find$name" | cut -f2-5)" = "2${TAB}SOFTWARE\\Vantry\\Server${TAB}$name${TAB}18" ] ||
    fail "search of $name: $(row_of RegLocator "Find$name")"
  [ "$(row_of AppSearch "HAS_${name^^}" | cut -f2)" = "Find$name" ] || fail "AppSearch of $name"
done
[ "$(property INSTALLFOLDER)" = 'C:\Vantry' ] || fail "INSTALLFOLDER default: $(property INSTALLFOLDER)"
[[ ";$(property SecureCustomProperties);" == *";INSTALLFOLDER;"* ]] || fail "INSTALLFOLDER is not secure"
# Version and upgrade: the same upgrade code in both, a new product code, and
# the removal of lower versions right after InstallValidate.
[ "$(property ProductVersion)" = "$version" ] || fail "ProductVersion $(property ProductVersion)"
[ "$(msiinfo export "$OUT/vtd-upgrade.msi" Property | awk -F'\t' '$1 == "ProductVersion" { print $2 }' | tr -d '\r')" = "$upgrade_version" ] ||
  fail "the upgrade's ProductVersion"
upgrade_code=$(property UpgradeCode)
[ "$upgrade_code" = '{94047BAB-291E-4FE8-ADF2-9C23B85629C0}' ] || fail "UpgradeCode $upgrade_code"
[ "$(table Property vtd-upgrade.msi | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')" = "$upgrade_code" ] ||
  fail "the upgrade has another UpgradeCode"
[ "$(property ProductCode)" != "$(table Property vtd-upgrade.msi | awk -F'\t' '$1 == "ProductCode" { print $2 }')" ] ||
  fail "the upgrade has the same ProductCode"
[ "$(table Upgrade | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1 "," $3 "," $5 }')" = "$upgrade_code,$version,1" ] ||
  fail "Upgrade table: $(table Upgrade)"
# The helper's actions, in order: stop and wait for the process before the
# service manager's own stop; the error logs only at the product's removal;
# the service's command quoted before the service starts.
expect_row CustomAction StopServiceProcess "StopServiceProcess${TAB}3138${TAB}ServiceHelper${TAB}stop vtd${TAB}"
expect_row CustomAction RemoveErrorLogs "RemoveErrorLogs${TAB}3138${TAB}ServiceHelper${TAB}stop vtd \"[INSTALLDIR]logs\"${TAB}"
expect_row CustomAction QuoteServiceCommand "QuoteServiceCommand${TAB}3074${TAB}ServiceHelper${TAB}quote vtd \"[#vtd.exe]\"${TAB}"
seq_of() { row_of InstallExecuteSequence "$1" | cut -f3; }
[ "$(row_of InstallExecuteSequence QuoteServiceCommand | cut -f2)" = 'NOT REMOVE~="ALL"' ] ||
  fail "condition of QuoteServiceCommand"
[ "$(row_of InstallExecuteSequence RemoveErrorLogs | cut -f2)" = 'REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE' ] ||
  fail "condition of RemoveErrorLogs"
order=(InstallValidate RemoveExistingProducts InstallInitialize StopServiceProcess StopServices DeleteServices
       RemoveErrorLogs RemoveFiles InstallFiles InstallServices QuoteServiceCommand StartServices)
for ((i = 1; i < ${#order[@]}; i++)); do
  [ "$(seq_of "${order[i - 1]}")" -lt "$(seq_of "${order[i]}")" ] ||
    fail "${order[i - 1]} ($(seq_of "${order[i - 1]}")) does not come before ${order[i]} ($(seq_of "${order[i]}"))"
done
echo "tables: ok"
fi

# --- Under Wine ----------------------------------------------------------
# The install folder's programs (not part of the package): the stand-ins of
# the database server and the web server. The planted program is the
# database server's stand-in under another name.
rm -rf "$INST" "$PROGRAM_DIR"
mkdir -p "$INST/mysql/bin" "$INST/apache/conf" "$INST/apache/bin"
cp "$BIN/mysqld.exe" "$INST/mysql/bin/"
cp "$BIN/httpd.exe" "$INST/apache/bin/"
cp "$SRC"/tests/data/httpd/fragments/conf.* "$INST/apache/conf/"
cp "$BIN/mysqld.exe" "$PLANTED"
delete_key 'SOFTWARE\Vantry'

runs=0
msiexec() {
  local log=$OUT/msiexec-$((++runs)).log
  "$WINE" msiexec.exe "$@" /qn '/l*v' "$(winpath "$log")" >/dev/null 2>&1 ||
    fail "msiexec $*: exit $? ($(tr -d '\r' <"$log" | grep -iE 'error|return value 3' | head -5))"
}
install() { msiexec /i "$(winpath "$1")" INSTALLFOLDER="$INST_WIN"; }
uninstall() { msiexec /x "$(winpath "$1")"; }

state() { win sc.exe query "$SERVICE" | awk '$1 == "STATE" { print $4 }'; }
in_state() { [ "$(state)" = "$1" ]; }
value() { win reg.exe query "$KEY" /v "$1" | awk -v n="$1" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'; }
# The versions of the installed products named Vantry Server, one a line
# (from the installer's product registrations; Wine's reg.exe has no /f).
product_versions() {
  win reg.exe query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | awk '
    /^HKEY_/ { if (name == "Vantry Server") print version; name = version = "" }
    $1 == "DisplayName" { $1 = $2 = ""; sub(/^ +/, ""); name = $0 }
    $1 == "DisplayVersion" { version = $3 }
    END { if (name == "Vantry Server") print version }'
}
products() { product_versions | grep -c . || true; }

# Installed and running: vtd.exe alone in the program folder (beside the
# daemon's own logs folder), the service automatic, as LocalSystem, its
# command quoted, the database server and the web server started from the
# install folder, the planted program never.
check_running() {
  [ "$(cd "$PROGRAM_DIR" && ls -A | grep -vx logs)" = vtd.exe ] || fail "program folder after the install: $(ls -A "$PROGRAM_DIR" 2>&1)"
  wait_for 120 in_state RUNNING || fail "the service is not RUNNING: $(win sc.exe query "$SERVICE")"
  # Wine's sc.exe has no "qc": the service manager's own record of the
  # service, read from the registry.
  win reg.exe query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$SERVICE" >"$OUT/qc.txt"
  grep -Eq '^ +Start +REG_DWORD +0x2$' "$OUT/qc.txt" || fail "start type: $(cat "$OUT/qc.txt")"
  grep -Eq '^ +ImagePath +REG_(EXPAND_)?SZ +"C:\\Program Files\\Vantry\\vtd\.exe"$' "$OUT/qc.txt" ||
    fail "the service's command is not the quoted program path: $(grep ImagePath "$OUT/qc.txt")"
  grep -Eq '^ +ObjectName +REG_SZ +LocalSystem$' "$OUT/qc.txt" || fail "account: $(cat "$OUT/qc.txt")"
  wait_for 30 win_running mysqld.exe || fail "the database server did not start"
  wait_for 30 win_running httpd.exe || fail "the web server did not start"
  ! win_running Program.exe || fail "the planted C:\\Program.exe ran"
}

# Removed: no file or folder of the package, no vtd.exe, no service; the
# settings key kept. The database server goes on running, as the daemon
# leaves it, from the install folder.
check_removed() {
  [ ! -e "$PROGRAM_DIR" ] || fail "left behind: $(find "$PROGRAM_DIR" | sed "s|$WINEPREFIX/drive_c|C:|")"
  ! win_running vtd.exe || fail "vtd.exe still runs after the uninstall"
  ! win sc.exe query "$SERVICE" >/dev/null 2>&1 || fail "the service is still there: $(win sc.exe query "$SERVICE")"
  [ "$(products)" = 0 ] || fail "a product is still registered"
  [ "$(value InstallFolder)" = "$INST_WIN" ] || fail "the settings are gone after the uninstall"
  ! win_running Program.exe || fail "the planted C:\\Program.exe ran"
}

# 1. First install: the defaults written, the install folder from the
#    command line.
install "$OUT/vtd.msi"
check_running
for name in PortNumber HttpEnabled HttpsPortNumber HttpsEnabled RtmpPortNumber VtdRole; do
  want=${defaults[$name]#\#}
  [ "$(value "$name")" = "$(printf '0x%x' "$want")" ] || fail "$name after the first install: $(value "$name")"
done
[ "$(value VtdMasterName)" = localhost ] || fail "VtdMasterName: $(value VtdMasterName)"
[ "$(value TimeZone)" = America/New_York ] || fail "TimeZone: $(value TimeZone)"
[ "$(products)" = 1 ] || fail "$(products) products after the install"
echo "install: ok"

# 2. Uninstall while the service runs, and install again, CYCLES times.
for ((cycle = 1; cycle <= CYCLES; cycle++)); do
  uninstall "$OUT/vtd.msi"
  check_removed
  install "$OUT/vtd.msi"
  check_running
done
echo "uninstall while running: ok ($CYCLES cycles)"

# 3. An administrator's changes survive an uninstall and a reinstall.
win reg.exe add "$KEY" /v PortNumber /t REG_DWORD /d 8080 /f >/dev/null
win reg.exe add "$KEY" /v HttpsEnabled /t REG_DWORD /d 1 /f >/dev/null
win reg.exe add "$KEY\\shop" /v path /t REG_SZ /d 'C:\Shop' /f >/dev/null
site_path() { win reg.exe query "$KEY\\shop" /v path | awk '$1 == "path" { print $3 }'; }
[ "$(site_path)" = 'C:\Shop' ] && [ "$(value PortNumber)" = 0x1f90 ] || fail "the administrator's changes could not be made"
uninstall "$OUT/vtd.msi"
check_removed
install "$OUT/vtd.msi"
check_running
[ "$(value PortNumber)" = 0x1f90 ] || fail "the changed PortNumber was overwritten: $(value PortNumber)"
[ "$(value HttpsEnabled)" = 0x1 ] || fail "the changed HttpsEnabled was overwritten: $(value HttpsEnabled)"
[ "$(site_path)" = 'C:\Shop' ] || fail "the added site is gone: $(win reg.exe query "$KEY" /s 2>&1)"
echo "reinstall keeps the settings: ok"

# 4. Upgrade while running: one product afterwards, of the new version, its
#    service running in a new process.
old_pid=$(win_pids vtd.exe)
install "$OUT/vtd-upgrade.msi"
check_running
[ "$(products)" = 1 ] || fail "$(products) products after the upgrade"
[ "$(product_versions)" = "$upgrade_version" ] || fail "installed after the upgrade: $(product_versions)"
new_pid=$(win_pids vtd.exe)
[ "$(wc -l <<<"$new_pid")" = 1 ] && [ "$new_pid" != "$old_pid" ] ||
  fail "vtd.exe after the upgrade: [$new_pid], before: [$old_pid]"
[ "$(value PortNumber)" = 0x1f90 ] || fail "the upgrade overwrote PortNumber: $(value PortNumber)"
uninstall "$OUT/vtd-upgrade.msi"
check_removed
echo "upgrade while running: ok"
echo "PASSED: the installer under Wine"

#!/usr/bin/env bash
# One registry export, two settings stores: imported into Wine's registry
# with the registry editor and read by the Windows build through the
# registry API, and read from the file by the Linux build's hive. Both must
# give the same server settings and sites, field by field.
#
#     settings.sh BIN SOURCE_DIR LINUX_SETTINGS_DUMP
BIN=$1
SRC=$2
LINUX_DUMP=$3
source "$SRC/tests/windows/wine.sh"

[ -x "$LINUX_DUMP" ] || fail "$LINUX_DUMP is missing: build the Linux tree first"
EXPORT=$SRC/tests/data/registry/export-utf16.reg
OUT=$(mktemp -d /tmp/vtd-win-settings-XXXXXX)
cleanup() {
  delete_key 'SOFTWARE\Vantry'
  rm -rf "$OUT"
}
trap cleanup EXIT

# The export expands these in two of its values.
export VTD_TEST_DOMAIN=example.org
export VTD_TEST_ROOT='D:\data'

delete_key 'SOFTWARE\Vantry'
import_reg "$EXPORT"
# The registry's A functions give texts in the ANSI code page (1252 under
# Wine); the Linux hive keeps UTF-8: compare in UTF-8.
win "$BIN/settings-dump.exe" | iconv -f WINDOWS-1252 -t UTF-8 >"$OUT/windows.txt"
# Site folders that the daemon composes itself use each platform's separator.
VTD_REGISTRY=$EXPORT "$LINUX_DUMP" | awk '/^site\.path/ { gsub("/", "\\") } { print }' >"$OUT/linux.txt"

grep -qx 'found=1' "$OUT/windows.txt" || fail "the Windows build found no settings key: $(cat "$OUT/windows.txt")"
grep -qx 'sites=2' "$OUT/linux.txt" || fail "the Linux build read other sites than the export holds"
diff -u "$OUT/linux.txt" "$OUT/windows.txt" || fail "the two builds read the export differently"
echo "PASSED: $(grep -c . "$OUT/windows.txt") settings lines alike on both platforms"

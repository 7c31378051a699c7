#!/usr/bin/env bash
# Times vtd-check on settings with many sites: each site has 16 aliases, a
# database and HTTPS is on, so the check loads every site, composes an
# httpd.conf with 2 x 16 virtual hosts per site plus the internal ones, and
# writes it and one serverconfig.php per site into one output folder.
#
#   bench/sites.sh [N ...]          (default: 1000 10000 100000)
#
# For each N it prints the wall time, the time per site, the processor time
# (user + system, which a busy machine does not inflate as it does the wall
# time), the peak resident memory of vtd-check, and checks that the run did what it should: exit
# status 0, "Settings OK", N serverconfig.php files and N x 48 virtual hosts
# in httpd.conf (16 aliases on each of the internal, HTTP and HTTPS ports).
#
# The web server's own syntax check is left out (no apache/bin/httpd in the
# scratch installation): it measures Apache, not the daemon's code.
#
# Environment: BUILD_DIR (build), VTD_CHECK (the program to measure, default
# BUILD_DIR/bin/vtd-check), SCRATCH (where the scratch folders go, /var/tmp),
# KEEP=1 keeps them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build}
check=${VTD_CHECK:-$build/bin/vtd-check}
scratch_base=${SCRATCH:-/var/tmp}
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000 100000)

[ -x "$check" ] || { echo "no $check: build the vtd-check target first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }

work=$(mktemp -d "$scratch_base/vtd-sites-bench.XXXXXX")
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

install=$work/inst
mkdir -p "$install/apache/conf"
for fragment in "$root"/tools/demo/apache/conf.*; do
    sed "s|@INSTALL@|$install|g" "$fragment" >"$install/apache/conf/$(basename "$fragment")"
done

# The settings of n sites: a settings folder (UTF-8 export format), the
# server values in 00-server.reg and 10,000 sites in each further file, as a
# settings file is limited to 64 MiB.
make_settings() {
    local n=$1 folder=$2
    mkdir -p "$folder"
    awk -v n="$n" -v install="$install" -v folder="$folder" 'BEGIN {
        file = folder "/00-server.reg"
        print "Windows Registry Editor Version 5.00\n" >file
        print "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server]" >file
        print "\"InstallFolder\"=\"" install "\"" >file
        print "\"PortNumber\"=dword:00001f90" >file
        print "\"HttpsEnabled\"=dword:00000001" >file
        print "\"HttpsPortNumber\"=dword:000020fb" >file
        print "\"SmtpPassword\"=\"mail\"\n" >file
        for (i = 0; i < n; ++i) {
            if (i % 10000 == 0) {
                close(file)
                file = sprintf("%s/sites-%06d.reg", folder, i)
                print "Windows Registry Editor Version 5.00\n" >file
            }
            site = sprintf("site%06d", i)
            print "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\" site "]" >file
            print "\"sql_server\"=\"localhost\"" >file
            print "\"sql_database\"=\"db_" site "\"" >file
            print "\"sql_user\"=\"u_" site "\"" >file
            print "\"sql_password\"=\"p_" site "\"\n" >file
            for (a = 0; a < 16; ++a)
                print "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\" site "\\host" a "." site ".example]\n" >file
        }
    }'
}

printf '%8s  %10s  %12s  %12s  %12s\n' sites "seconds" "ms per site" "CPU seconds" "peak RSS MiB"
for n in "${sizes[@]}"; do
    settings=$work/settings-$n
    out=$work/out-$n
    make_settings "$n" "$settings"
    rm -rf "$out"
    start=$(date +%s.%N)
    set +e
    VTD_REGISTRY=$settings /usr/bin/time -f '%M %U %S' -o "$work/rss" "$check" -o "$out" >"$work/report" 2>"$work/errors"
    status=$?
    set -e
    end=$(date +%s.%N)
    if [ $status -ne 0 ] || [ "$(tail -n 1 "$work/report")" != "Settings OK" ]; then
        echo "vtd-check failed on $n sites (exit status $status):" >&2
        tail -n 5 "$work/report" "$work/errors" >&2
        exit 1
    fi
    php=$(find "$out" -name '*.serverconfig.php' | wc -l)
    hosts=$(grep -c '^<VirtualHost ' "$out/httpd.conf")
    if [ "$php" -ne "$n" ] || [ "$hosts" -ne $((n * 48)) ]; then
        echo "$n sites: $php serverconfig.php files and $hosts virtual hosts, expected $n and $((n * 48))" >&2
        exit 1
    fi
    read -r rss user system < <(tail -n 1 "$work/rss")
    awk -v n="$n" -v s="$start" -v e="$end" -v rss="$rss" -v user="$user" -v kernel="$system" \
        'BEGIN { t = e - s; printf "%8d  %10.2f  %12.4f  %12.2f  %12.1f\n", n, t, 1000 * t / n, user + kernel, rss / 1024 }'
    [ "${KEEP:-0}" = 1 ] || rm -rf "$out" "$settings"
done

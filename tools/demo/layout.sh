#!/usr/bin/env bash
# Lays out the demo installation in a folder: the database server and web
# server as links to Debian's mariadbd and apache2, their settings, two sites
# with the demo site code, and the daemon's settings file (vtd.reg).
#
#   tools/demo/layout.sh FOLDER
#
# Environment: DEMO_PORT (public web port, 8080), DEMO_DB_PORT (database TCP
# port on 127.0.0.1, 3399). Running it again keeps the database contents.
# The sites' pages show times in the machine's own time zone.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
dir=${1:?usage: layout.sh FOLDER}
port=${DEMO_PORT:-8080}
dbport=${DEMO_DB_PORT:-3399}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

mkdir -p "$dir/mysql/bin" "$dir/apache/bin" "$dir/apache/conf" "$dir/apache/logs" "$dir/bin" "$dir/logs"
ln -sfn /usr/sbin/mariadbd "$dir/mysql/bin/mysqld"
ln -sfn /usr/sbin/apache2 "$dir/apache/bin/httpd"

# The database server reads $MYSQL_HOME/my.cnf after the system's files.
# The daemon's -b makes this folder the server's base folder, and the plugin
# folder would follow it (mysql/lib/mysql/plugin, which is not there): the
# plugins that Debian's configuration loads (the compression providers) come
# from Debian's own plugin folder.
cat > "$dir/mysql/my.cnf" <<EOT
[mysqld]
user=root
plugin-dir=/usr/lib/mysql/plugin
socket=$dir/mysql/mysql.sock
port=$dbport
bind-address=127.0.0.1
lower_case_table_names=1
pid-file=$dir/mysql/mysqld.pid
log-error=$dir/mysql/error.log
skip-log-bin

[client]
socket=$dir/mysql/mysql.sock
EOT

# Statements the server runs at every start (the init file the daemon names).
cat > "$dir/mysql/my.ini" <<'EOT'
CREATE DATABASE IF NOT EXISTS vantry_default;
CREATE DATABASE IF NOT EXISTS vantry_campus;
CREATE USER IF NOT EXISTS 'vantry'@'localhost' IDENTIFIED BY 'vantry-demo';
CREATE USER IF NOT EXISTS 'vantry'@'127.0.0.1' IDENTIFIED BY 'vantry-demo';
GRANT ALL PRIVILEGES ON vantry_default.* TO 'vantry'@'localhost';
GRANT ALL PRIVILEGES ON vantry_campus.* TO 'vantry'@'localhost';
GRANT ALL PRIVILEGES ON vantry_default.* TO 'vantry'@'127.0.0.1';
GRANT ALL PRIVILEGES ON vantry_campus.* TO 'vantry'@'127.0.0.1';
EOT

if [ ! -d "$dir/mysql/data/mysql" ]; then
  mariadb-install-db --no-defaults --user=root --datadir="$dir/mysql/data" \
    --auth-root-authentication-method=normal >"$dir/mysql/install.log" 2>&1
fi

# Debian's apache2 reads apache2.conf from its -d folder; it includes the
# generated conf/httpd.conf, which includes the fragments.
cp "$here/apache/apache2.conf" "$dir/apache/apache2.conf"
cp "$here"/apache/conf.* "$dir/apache/conf/"

# The sites' folders belong to the web server's group, which the daemon hands
# on to the folders and files it creates there: serverconfig.php (0640, it
# holds the database password) is readable by the web server and nobody else.
mkdir -p "$dir/sites"
chgrp www-data "$dir/sites"
for site in default campus; do
  mkdir -p "$dir/sites/$site"
  chgrp www-data "$dir/sites/$site"
  mkdir -p "$dir/sites/$site/htdocs" "$dir/sites/$site/runtime"
  cp "$here/site/index.php" "$dir/sites/$site/htdocs/index.php"
  # Every path of the site is answered by index.php.
  echo "FallbackResource /index.php" > "$dir/sites/$site/htdocs/.htaccess"
  # The web server's children run as www-data and write the site's runtime files.
  chown www-data:www-data "$dir/sites/$site/runtime"
done

# The machine's time zone: the zone the /etc/localtime link names, else
# /etc/timezone, else UTC. Only a name that the zone database knows is used.
machine_time_zone() {
  local zone=""
  local link
  if link=$(readlink /etc/localtime 2>/dev/null) && [[ $link == */zoneinfo/* ]]; then
    zone=${link##*/zoneinfo/}
  fi
  if [ -z "$zone" ] && [ -r /etc/timezone ]; then
    zone=$(head -n 1 /etc/timezone | tr -d '[:space:]')
  fi
  if [[ ! $zone =~ ^[A-Za-z0-9_+-]+(/[A-Za-z0-9_+-]+)*$ ]] || [ ! -f "/usr/share/zoneinfo/$zone" ]; then
    zone=UTC
  fi
  echo "$zone"
}
timezone=$(machine_time_zone)

cat > "$dir/vtd.reg" <<EOT
Windows Registry Editor Version 5.00

; Demo installation of the Vantry server daemon.
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server]
"InstallFolder"="$dir"
"PortNumber"=dword:$(printf '%08x' "$port")
"HttpEnabled"=dword:00000001
"HttpsEnabled"=dword:00000000
"VtdRole"=dword:00000001
"SmtpHost"="localhost"
"SmtpEmail"="demo@localhost"
"TimeZone"="$timezone"

; The catch-all site.
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\default]
"sql_server"="localhost"
"sql_database"="vantry_default"
"sql_user"="vantry"
"sql_password"="vantry-demo"

; A site reached through two host names.
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\campus]
"sql_server"="localhost"
"sql_database"="vantry_campus"
"sql_user"="vantry"
"sql_password"="vantry-demo"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\campus\\campus.localhost]

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantry\\Server\\campus\\learn.localhost]
EOT

# What the daemon and its children need in their environment.
cat > "$dir/env.sh" <<EOT
export VTD_REGISTRY="$dir/vtd.reg"
export MYSQL_HOME="$dir/mysql"
export MYSQL_UNIX_PORT="$dir/mysql/mysql.sock"
EOT
echo "$dir"

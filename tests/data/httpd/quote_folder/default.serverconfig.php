<?php
// Generated file, do not edit.

ini_set('date.timezone', 'Europe/Berlin');
ini_set('session.save_path', '@ROOT@/it\'s "x" \\y/runtime');
ini_set('session.cookie_path', '@ROOT@/it\'s "x" \\y/runtime');
define('VANTRY_DEBUG', 'false');
define('VANTRY_COMPUTERNAME', 'VT-NODE1');
define('VANTRY_VERSION', '15.0.11');
define('VANTRY_INSTALL', '@ROOT@/inst');
define('VANTRY_BIN', '@ROOT@/inst/bin');
define('VANTRY_LOGS', '@ROOT@/inst/logs');
define('VANTRY_BACKUP', '@ROOT@/inst/backup');
define('VANTRY_RTMPPORT', 1935);
define('VANTRY_HTTPIPORT', 19039);
define('VANTRY_VANTRYPORT', 19038);
define('VANTRY_SITENAME', 'default');
define('VANTRY_ALIASNAME', '_default_');
define('VANTRY_SITEPATH', '@ROOT@/it\'s "x" \\y');
define('VANTRY_RUNTIME', '@ROOT@/it\'s "x" \\y/runtime');
define('VANTRY_TEMP', '@ROOT@/it\'s "x" \\y/temp');
define('VANTRY_CACHE', '@ROOT@/it\'s "x" \\y/cache');
define('VANTRY_CONTENT', '@ROOT@/it\'s "x" \\y/files');
define('VANTRY_HTDOCS', '@ROOT@/it\'s "x" \\y/htdocs');
define('VANTRY_VTDROLE', 1);
define('VANTRY_VTDMASTERNAME', 'master1');
define('VANTRY_UDID', '0f1e2d3c4b5a69788796a5b4c3d2e1f0');
define('VANTRY_FFMPEG_PATH', '@ROOT@/inst/bin/ffmpeg');
define('VANTRY_DBHOST', 'localhost');
define('VANTRY_DBNAME', 'vantry_default');
define('VANTRY_DBUSER', 'vantry');
define('VANTRY_DBPASSWORD', 'pw');
define('VANTRY_SMTP_HOST', 'smtp.example.com');
define('VANTRY_SMTP_USER', 'mailer');
define('VANTRY_SMTP_PASSWORD', 's3cret');
define('VANTRY_SMTP_EMAIL', 'noreply@example.com');

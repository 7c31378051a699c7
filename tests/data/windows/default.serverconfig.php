<?php
// Generated file, do not edit.

ini_set('date.timezone', 'America/New_York');
ini_set('session.save_path', 'C:\\VantryTest\\sites\\default\\runtime');
ini_set('session.cookie_path', 'C:\\VantryTest\\sites\\default\\runtime');
define('VANTRY_DEBUG', 'false');
define('VANTRY_COMPUTERNAME', 'WINTEST');
define('VANTRY_VERSION', '15.0.11');
define('VANTRY_INSTALL', 'C:\\VantryTest');
define('VANTRY_BIN', 'C:\\VantryTest\\bin');
define('VANTRY_LOGS', 'C:\\VantryTest\\logs');
define('VANTRY_BACKUP', 'C:\\VantryTest\\backup');
define('VANTRY_RTMPPORT', 1935);
define('VANTRY_HTTPIPORT', 19039);
define('VANTRY_VANTRYPORT', 19038);
define('VANTRY_SITENAME', 'default');
define('VANTRY_ALIASNAME', '_default_');
define('VANTRY_SITEPATH', 'C:\\VantryTest\\sites\\default');
define('VANTRY_RUNTIME', 'C:\\VantryTest\\sites\\default\\runtime');
define('VANTRY_TEMP', 'C:\\VantryTest\\sites\\default\\temp');
define('VANTRY_CACHE', 'C:\\VantryTest\\sites\\default\\cache');
define('VANTRY_CONTENT', 'C:\\VantryTest\\sites\\default\\files');
define('VANTRY_HTDOCS', 'C:\\VantryTest\\sites\\default\\htdocs');
define('VANTRY_VTDROLE', 1);
define('VANTRY_VTDMASTERNAME', 'localhost');
define('VANTRY_UDID', '0f1e2d3c4b5a69788796a5b4c3d2e1f0');
define('VANTRY_FFMPEG_PATH', 'C:\\VantryTest/bin/ffmpeg.exe');
define('VANTRY_DBHOST', '127.0.0.1');
define('VANTRY_DBNAME', 'wintest');
define('VANTRY_DBUSER', 'vtdwin');
define('VANTRY_DBPASSWORD', 'wine-console-test');
define('VANTRY_SMTP_HOST', '');
define('VANTRY_SMTP_USER', '');
define('VANTRY_SMTP_PASSWORD', '');
define('VANTRY_SMTP_EMAIL', '');

<?php
// Generated file, do not edit.

ini_set('date.timezone', 'America/New_York');
ini_set('session.save_path', 'C:\\VantryTest\\sites\\campus\\runtime');
ini_set('session.cookie_path', 'C:\\VantryTest\\sites\\campus\\runtime');
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
define('VANTRY_SITENAME', 'campus');
define('VANTRY_ALIASNAME', 'campus.example.org');
define('VANTRY_SITEPATH', 'C:\\VantryTest\\sites\\campus');
define('VANTRY_RUNTIME', 'C:\\VantryTest\\sites\\campus\\runtime');
define('VANTRY_TEMP', 'C:\\VantryTest\\sites\\campus\\temp');
define('VANTRY_CACHE', 'C:\\VantryTest\\sites\\campus\\cache');
define('VANTRY_CONTENT', 'C:\\VantryTest\\sites\\campus\\files');
define('VANTRY_HTDOCS', 'C:\\VantryTest\\sites\\campus\\htdocs');
define('VANTRY_VTDROLE', 1);
define('VANTRY_VTDMASTERNAME', 'localhost');
define('VANTRY_UDID', '0f1e2d3c4b5a69788796a5b4c3d2e1f0');
define('VANTRY_FFMPEG_PATH', 'C:\\VantryTest/bin/ffmpeg.exe');
define('VANTRY_DBHOST', '');
define('VANTRY_DBNAME', '');
define('VANTRY_DBUSER', '');
define('VANTRY_DBPASSWORD', '');
define('VANTRY_SMTP_HOST', '');
define('VANTRY_SMTP_USER', '');
define('VANTRY_SMTP_PASSWORD', '');
define('VANTRY_SMTP_EMAIL', '');

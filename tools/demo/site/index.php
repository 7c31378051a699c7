<?php
// Demo site code. Every request of the site lands here (FallbackResource in
// the web server's directory fragment); serverconfig.php, prepended by the
// web server, has defined the site's VANTRY_* constants.

function demo_database()
{
    // The demo's database server listens on a socket inside the install folder.
    $socket = VANTRY_INSTALL . '/mysql/mysql.sock';
    mysqli_report(MYSQLI_REPORT_OFF);
    $db = @new mysqli(VANTRY_DBHOST, VANTRY_DBUSER, VANTRY_DBPASSWORD, VANTRY_DBNAME, 0, $socket);
    return $db->connect_errno ? null : $db;
}

$path = parse_url($_SERVER['REQUEST_URI'], PHP_URL_PATH);

if ($path === '/internal/updatedatabase') {
    // The daemon asks for this page after it has upgraded a site database.
    $line = sprintf("%s %s %s\n", date('c'), $_SERVER['HTTP_HOST'] ?? '', VANTRY_SITENAME);
    file_put_contents(VANTRY_RUNTIME . '/updatedatabase.log', $line, FILE_APPEND | LOCK_EX);
    header('Content-Type: text/plain');
    echo "updated\n";
    return;
}

$version = 'no database';
$db = demo_database();
if ($db !== null) {
    $result = $db->query('select version from DatabaseVersion');
    $row = $result ? $result->fetch_row() : null;
    $version = $row ? $row[0] : 'not stamped';
}

$constants = array_filter(get_defined_constants(true)['user'] ?? [],
    fn($name) => strncmp($name, 'VANTRY_', 7) === 0 && strpos($name, 'PASSWORD') === false,
    ARRAY_FILTER_USE_KEY);

header('Content-Type: text/html; charset=utf-8');
echo "<!doctype html>\n<html><head><title>" . htmlspecialchars(VANTRY_SITENAME) . "</title></head><body>\n";
echo "<h1>Site " . htmlspecialchars(VANTRY_SITENAME) . "</h1>\n";
echo "<p>Host: " . htmlspecialchars($_SERVER['HTTP_HOST'] ?? '') . "</p>\n";
echo "<p>Database version: <span id=\"dbversion\">" . htmlspecialchars($version) . "</span></p>\n";
echo "<table>\n";
foreach ($constants as $name => $value) {
    echo "<tr><td>" . htmlspecialchars($name) . "</td><td>" . htmlspecialchars(var_export($value, true)) . "</td></tr>\n";
}
echo "</table>\n</body></html>\n";

<?php
// Test page: notes in the site's runtime folder when each request starts and
// ends, and holds the request in between, until n requests have started
// (?n=) or the file "release" appears (?n=0), at most 30 s.
$name = preg_replace('/[^a-z0-9]/', '', $_GET['log'] ?? 'hold');
$log = VANTRY_RUNTIME . '/' . $name . '.log';
$id = preg_replace('/[^a-z0-9]/', '', $_GET['id'] ?? '');
$n = (int)($_GET['n'] ?? 0);
file_put_contents($log, "start $id\n", FILE_APPEND | LOCK_EX);
for ($i = 0; $i < 3000; $i++) {
    clearstatcache();
    if ($n > 0 && substr_count(file_get_contents($log), "start ") >= $n)
        break;
    if ($n == 0 && file_exists(VANTRY_RUNTIME . '/release'))
        break;
    usleep(10000);
}
file_put_contents($log, "end $id\n", FILE_APPEND | LOCK_EX);
header('Content-Type: text/plain');
echo "held $id\n";

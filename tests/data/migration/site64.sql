-- A site database of a 6.4 release, for the data migrations.
-- Content tree (id name parentid recordings):
--   1 Root 0 | 2 RootRecordings 1 yes (the root's course never gets it)
--   10 CourseA 1: 11 Recordings yes: 12 Nested yes: 13 Deeper yes
--   20 CourseB 1 (recordingid already 99): 21 Recordings yes
--   30 CourseC 1 (recordingid NULL, no recordings folder)
--   40 "Personal Folders" 1: 41 Lecture yes
--   42 "personal folders" 1: 43 Lecture yes
--   50 Stray yes, parent 999 that does not exist
--   60..63 file objects under 1
insert into DatabaseVersion values ('6.4.12', '2011-02-03 04:05:06', '2011-02-03 04:05:06');
insert into Server (id, localname, header) values (1, 'old', NULL);
insert into Object (id, name, parentid, recordings, parentlist) values
 (1, 'Root', 0, 0, NULL),
 (2, 'RootRecordings', 1, 1, NULL),
 (10, 'CourseA', 1, 0, NULL),
 (11, 'Recordings', 10, 1, NULL),
 (12, 'Nested', 11, 1, NULL),
 (13, 'Deeper', 12, 1, NULL),
 (20, 'CourseB', 1, 0, NULL),
 (21, 'Recordings', 20, 1, NULL),
 (30, 'CourseC', 1, 0, NULL),
 (40, 'Personal Folders', 1, 0, NULL),
 (41, 'Lecture', 40, 1, NULL),
 (42, 'personal folders', 1, 0, NULL),
 (43, 'Lecture', 42, 1, NULL),
 (50, 'Stray', 999, 1, 'untouched'),
 (60, 'movie.mp4', 1, 0, NULL),
 (61, 'notes.pdf', 1, 0, NULL),
 (62, 'done.mp4', 1, 0, NULL),
 (63, 'other.mp4', 1, 0, NULL);
insert into Course (objectid, recordingid) values (1, 0), (10, 0), (20, 99), (30, NULL);
insert into File (objectid, filetype) values (60, 2), (61, 1), (62, 2), (63, 2);
insert into TranscodeTemplate (id, name, active, videobitrate) values
 (3, 'Low', 0, '300k'),
 (7, 'Standard', 1, '1,500k');
insert into TranscodeObject (id, fileid, templateid, status, pathname, views, size, bitrate, message)
 values (100, 62, 7, 3, '62.flv', 5, 10, 1500000, '');

-- A site database as an older release left it: tables with columns that
-- were dropped since, without the columns added since, tables and views
-- that no longer exist, and rows in them. Statements end with ";" at the end
-- of a line.

create table Domain( id int auto_increment, name varchar(200), type int, domainserver varchar(200),
  domainbackup varchar(200), autoprocess bool, autoprocess_at datetime, ldapserver varchar(200),
  ldapbind varchar(200), ldapsimple bool, ldapssl bool, extractfolder varchar(200), deleteextracts bool,
  PRIMARY KEY(id) ) ENGINE=MyISAM;
insert into Domain values (1, 'corp', 2, 'dc1', 'dc2', 1, '2010-01-02 03:04:05', 'ldap.example.org',
  'cn=reader', 1, 0, '/srv/extract', 1);
insert into Domain values (2, 'Straße', 0, null, null, 0, null, null, null, 0, 1, null, 0);

create table File( objectid int, filetype int, mediatype int, bitrate int, status int, size bigint,
  duration bigint, width int, height int, download bool, originalid int, startpos bigint, syncmix bool,
  direct bool, defaultrecordmode int, PRIMARY KEY(objectid) ) ENGINE=MyISAM;
insert into File values (10, 3, 1, 800, 2, 123456789012, 60000, 640, 480, 1, 0, 0, 0, 1, 2);
insert into File values (11, 4, 2, 128, 2, 4096, 1000, 0, 0, 0, 10, 0, 1, 0, 0);

create table Course( objectid int, activitytype int, param int, courseid int, dependid int,
  defaultrecordmode int, usedate bool, startdate date, enddate date, PRIMARY KEY(objectid) ) ENGINE=MyISAM;
insert into Course values (20, 1, 7, 99, 5, 3, 1, '2011-09-01', '2012-06-30');

create table Object( id int auto_increment, name varchar(200), authorid int, haspath bool, doctext longtext,
  updated datetime, created datetime, accessed datetime, type int, includext varchar(200),
  excludext varchar(200), parentid int, iconsize int, iconurl varchar(200), parentlist varchar(2048),
  hidesearchbar bool, displayorder int, frontpage bool, model bool, transcodetemplateid int,
  transcoded bool, enrolltype int, tempname varchar(200), autoscan bool, scanning bool, deleted bool,
  pathname varchar(1024), defaultroleid int, remoteid int, icondata longblob, icondata_size int,
  PRIMARY KEY(id), KEY parent(parentid), KEY author(authorid) ) ENGINE=MyISAM;
insert into Object values (1, 'root', 1, 0, 'Wurzel äöü', '2010-01-01 00:00:00', '2009-12-31 23:59:59',
  null, 1, null, null, 0, 16, null, '', 0, 0, 0, 0, null, 0, 0, null, 0, 0, 0, null, 3, 0, 'xyz', 3);
insert into Object values (10, 'clip.mp4', 1, 0, null, null, null, null, 2, null, null, 1, null, null, '1',
  0, 4, 1, 0, 7, 1, 0, '/tmp/x', 1, 0, 0, 'D:/media/clip.mp4', null, 17, null, null);
insert into Object values (11, 'clip.mp3', 1, 0, null, null, null, null, 2, null, null, 1, null, null, '1',
  0, 5, 0, 0, null, 0, 0, null, 0, 0, 1, null, null, 0, null, null);
insert into Object values (20, 'Course A', 2, 0, 'about', null, null, null, 5, null, null, 1, null, null, '1',
  0, 6, 0, 1, null, 0, 2, null, 0, 0, 0, null, null, 0, null, null);

create table User( id int auto_increment, domainid int, name varchar(200), logon varchar(200),
  password varchar(200), autoadded bool, enable bool, status int, updated datetime, created datetime,
  accessed datetime, folderid int, expires_set bool, expires_at datetime, icondata_size int, icondata longblob,
  email varchar(200), msn varchar(200), phone1 varchar(200), phone2 varchar(200), language varchar(200),
  organisation varchar(200), address varchar(200), city varchar(200), postal varchar(200), state varchar(200),
  country varchar(200), custom1 varchar(200), custom2 varchar(200), comment text, PRIMARY KEY(id) ) ENGINE=MyISAM;
insert into User values (1, 1, 'Jürgen Weiß', 'jw', 'secret', 0, 1, 1, null, '2008-05-06 07:08:09', null, 30,
  1, '2012-01-01 00:00:00', 2, 'ab', 'jw@example.org', null, null, null, 'de', null, null, 'Köln', null,
  null, 'DE', null, null, 'note');

create table Server( id int auto_increment, localname varchar(200), localip varchar(200),
  remotename varchar(200), remoteip varchar(200), lastaccess datetime, version varchar(200), description text,
  PRIMARY KEY(id) ) ENGINE=MyISAM;
insert into Server values (1, 'host1', '10.0.0.1', null, null, null, '12.0.3', 'Our site');

create table VantryHost( id int auto_increment, name varchar(200), title varchar(200), localname varchar(200),
  localip varchar(200), remotename varchar(200), remoteip varchar(200), lastaccess datetime,
  version varchar(200), message varchar(200), requestupdate int, PRIMARY KEY(id) ) ENGINE=MyISAM;
insert into VantryHost values (4, 'peer', 'Peer site', 'peer1', '10.0.0.2', null, null, null, '12.0.3', 'ok', 0);

create table ChatLog( id int auto_increment, doctext text, PRIMARY KEY(id) ) ENGINE=MyISAM;
insert into ChatLog values (1, 'old chat');
create table tsuser( id int, PRIMARY KEY(id) ) ENGINE=MyISAM;
create table ObjectPermissionsCache( id int ) ENGINE=MyISAM;
create table QueryPermissionCache( id int ) ENGINE=MyISAM;

create view vfilesession as (select File.objectid from File);
create view vchattextlog as (select ChatLog.id from ChatLog);
create view VFile as (select Object.id, File.download from Object, File where Object.id=File.objectid);

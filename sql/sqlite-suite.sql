-- Suite tables read by quorlan-trend, for the embedded SQLite database.
-- quorlan-trendctl init creates them; the service creates TrendData1/5/15/60 itself.

CREATE TABLE Settings (
  Id INTEGER PRIMARY KEY AUTOINCREMENT,
  DebugMode bit NOT NULL DEFAULT 0
);

CREATE TABLE ATR_Nodes (
  node_id INTEGER PRIMARY KEY AUTOINCREMENT,
  node_name nvarchar(100) NOT NULL DEFAULT '',
  address varchar(50) NOT NULL DEFAULT '',
  UdpPort int NOT NULL DEFAULT 161,
  image bit NOT NULL DEFAULT 0,
  SnmpVersion smallint NOT NULL DEFAULT 1,
  PollTimeOut smallint NOT NULL DEFAULT 5,
  PollRetries smallint NOT NULL DEFAULT 2,
  PollType varchar(20) NOT NULL DEFAULT 'SnmpPoll',
  readcomm varchar(50) NOT NULL DEFAULT 'public',
  trapcomm varchar(50) NOT NULL DEFAULT 'public',
  StreetAddress nvarchar(100) NOT NULL DEFAULT '',
  TrendReports bit NOT NULL DEFAULT 0
);

CREATE TABLE TrendReports (
  ReportId INTEGER PRIMARY KEY AUTOINCREMENT,
  ReportTitle nvarchar(100) NOT NULL DEFAULT '',
  NodeId int NOT NULL,
  NodeName nvarchar(100) NOT NULL DEFAULT '',
  PollInterval int NOT NULL DEFAULT 5,
  ObjId1 varchar(255) NOT NULL DEFAULT '',
  ObjId2 varchar(255) NOT NULL DEFAULT '',
  ObjId3 varchar(255) NOT NULL DEFAULT '',
  ObjId4 varchar(255) NOT NULL DEFAULT '',
  ObjId5 varchar(255) NOT NULL DEFAULT '',
  ObjId6 varchar(255) NOT NULL DEFAULT '',
  ObjName1 nvarchar(100) NOT NULL DEFAULT '',
  ObjName2 nvarchar(100) NOT NULL DEFAULT '',
  ObjName3 nvarchar(100) NOT NULL DEFAULT '',
  ObjName4 nvarchar(100) NOT NULL DEFAULT '',
  ObjName5 nvarchar(100) NOT NULL DEFAULT '',
  ObjName6 nvarchar(100) NOT NULL DEFAULT '',
  ObjType1 smallint NOT NULL DEFAULT 0,
  ObjType2 smallint NOT NULL DEFAULT 0,
  ObjType3 smallint NOT NULL DEFAULT 0,
  ObjType4 smallint NOT NULL DEFAULT 0,
  ObjType5 smallint NOT NULL DEFAULT 0,
  ObjType6 smallint NOT NULL DEFAULT 0,
  ObjEval1 nvarchar(255) NOT NULL DEFAULT '',
  ObjEval2 nvarchar(255) NOT NULL DEFAULT '',
  ObjEval3 nvarchar(255) NOT NULL DEFAULT '',
  ObjEval4 nvarchar(255) NOT NULL DEFAULT '',
  ObjEval5 nvarchar(255) NOT NULL DEFAULT '',
  ObjEval6 nvarchar(255) NOT NULL DEFAULT '',
  TriggerAlarm1 bit NOT NULL DEFAULT 0,
  TriggerAlarm2 bit NOT NULL DEFAULT 0,
  TriggerAlarm3 bit NOT NULL DEFAULT 0,
  TriggerAlarm4 bit NOT NULL DEFAULT 0,
  TriggerAlarm5 bit NOT NULL DEFAULT 0,
  TriggerAlarm6 bit NOT NULL DEFAULT 0,
  TriggerExpr1 varchar(10) NOT NULL DEFAULT '',
  TriggerExpr2 varchar(10) NOT NULL DEFAULT '',
  TriggerExpr3 varchar(10) NOT NULL DEFAULT '',
  TriggerExpr4 varchar(10) NOT NULL DEFAULT '',
  TriggerExpr5 varchar(10) NOT NULL DEFAULT '',
  TriggerExpr6 varchar(10) NOT NULL DEFAULT '',
  TriggerValue1 varchar(50) NOT NULL DEFAULT '',
  TriggerValue2 varchar(50) NOT NULL DEFAULT '',
  TriggerValue3 varchar(50) NOT NULL DEFAULT '',
  TriggerValue4 varchar(50) NOT NULL DEFAULT '',
  TriggerValue5 varchar(50) NOT NULL DEFAULT '',
  TriggerValue6 varchar(50) NOT NULL DEFAULT '',
  DbChanged char(1) NOT NULL DEFAULT '1'
);

CREATE TABLE SecProfiles (
  Id INTEGER PRIMARY KEY AUTOINCREMENT,
  Enabled bit NULL DEFAULT 1,
  UserName nvarchar(50) NOT NULL,
  SecurityLevel smallint NOT NULL DEFAULT 0,
  AuthPassword nvarchar(100) NOT NULL DEFAULT '',
  AuthProtocol smallint NOT NULL DEFAULT 0,
  PrivPassword nvarchar(100) NOT NULL DEFAULT '',
  PrivProtocol smallint NOT NULL DEFAULT 0
);

INSERT INTO Settings (Id, DebugMode) VALUES (1, 0);


-- Rows that wixl 0.101 cannot produce from MerivastService.wxs. scripts/package
-- runs these statements on the built package with msibuild, in order, and
-- then one per file of conf\ (see the end). Each statement ends with ";" at
-- the end of a line; lines starting with "--" are comments. The component
-- that owns everything here is ServiceRegistration, unless a statement names
-- another. scripts/package replaces these words first (msibuild's SQL has no
-- arithmetic):
--   @SERVICE_NAME@             the service's name
--   @SERVICE_SID@              its service SID (scripts/service-sid)
--   @COMPONENT_64BIT@          0, or 256 (msidbComponentAttributes64bit) in the x64
--                              package, added to the number right before it
--   @LOCATOR_64BIT@            0, or 16 (msidbLocatorType64bit) in the x64 package,
--                              added likewise

-- The account (see MerivastService.wxs). First the remembered one, when the
-- command line names none, with whether it had a password; else the service's
-- own virtual account; then whether this install is given a password. These
-- run before LaunchConditions, which refuses an upgrade of a service whose
-- account had a password until the password is given again. The remembered
-- values are read from the package's own registry view (2 = a raw value).
UPDATE `RegLocator` SET `Type` = 2 + @LOCATOR_64BIT@;
UPDATE `InstallExecuteSequence` SET `Sequence` = 51, `Condition` = 'NOT SERVICEACCOUNT AND REMEMBEREDACCOUNT AND REMEMBEREDPASSWORDGIVEN'
  WHERE `Action` = 'UseRememberedPasswordGiven';
UPDATE `InstallExecuteSequence` SET `Sequence` = 52, `Condition` = 'NOT SERVICEACCOUNT AND REMEMBEREDACCOUNT'
  WHERE `Action` = 'UseRememberedAccount';
UPDATE `InstallExecuteSequence` SET `Sequence` = 53, `Condition` = 'NOT SERVICEACCOUNT'
  WHERE `Action` = 'UseVirtualAccount';
UPDATE `InstallExecuteSequence` SET `Sequence` = 54, `Condition` = 'SERVICEPASSWORD'
  WHERE `Action` = 'NotePasswordGiven';
-- A repair or an upgrade installs where the service is installed.
UPDATE `InstallExecuteSequence` SET `Sequence` = 55, `Condition` = 'REMEMBEREDINSTALLDIR'
  WHERE `Action` = 'UseRememberedInstallDir';
-- The services it depends on: the command line's, else the remembered ones,
-- else none ("/"); then CheckDependencies (immediate, 1) sets
-- DEPENDENCIESREFUSED for a list the service manager cannot take, which the
-- launch condition refuses with its reason. Not at a removal, which sets none.
UPDATE `InstallExecuteSequence` SET `Sequence` = 56, `Condition` = 'NOT SERVICEDEPENDENCIES AND REMEMBEREDDEPENDENCIES'
  WHERE `Action` = 'UseRememberedDependencies';
UPDATE `InstallExecuteSequence` SET `Sequence` = 57, `Condition` = 'NOT SERVICEDEPENDENCIES'
  WHERE `Action` = 'UseNoDependencies';
UPDATE `InstallExecuteSequence` SET `Sequence` = 58, `Condition` = 'NOT REMOVE~="ALL"'
  WHERE `Action` = 'CheckDependencies';
UPDATE `CustomAction` SET `Type` = 1 WHERE `Action` = 'CheckDependencies';

-- One copy of the executable with its service row: with a password only when
-- one is given. 64 = transitive: the condition is evaluated again at a repair.
UPDATE `Component` SET `Condition` = 'NOT SERVICEPASSWORD', `Attributes` = 64 + @COMPONENT_64BIT@
  WHERE `Component` = 'ServiceExe';
UPDATE `Component` SET `Condition` = 'SERVICEPASSWORD', `Attributes` = 64 + @COMPONENT_64BIT@
  WHERE `Component` = 'ServiceExeWithPassword';
-- Both copies go to one path, so a repair that changes which is installed
-- (one with the password after one without, or the reverse) removes the one
-- copy in RemoveFiles, while the other was judged present at costing and is
-- not copied in the default mode (REINSTALLMODE "omus"). KeepExecutable
-- keeps a copy before RemoveFiles, RestoreMissingExecutable puts it back
-- after InstallFiles when it is missing, also at a rollback.
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'KeepExecutableData';
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'UndoKeepExecutableData';
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'RestoreMissingExecutableData';
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'UndoKeepExecutable';
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'KeepExecutable';
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'RestoreMissingExecutable';

-- A major upgrade installs the new version first and removes the old one
-- after InstallFinalize ("the most efficient placement", Microsoft's
-- RemoveExistingProducts page): an upgrade that fails at any step leaves the
-- old version as it was, its service, account and folder with it. Only a
-- failed removal of the old version can leave both installed. The
-- components keep their GUIDs from version to version, so the old version's
-- removal leaves everything the new one uses.
UPDATE `InstallExecuteSequence` SET `Sequence` = 6610 WHERE `Action` = 'RemoveExistingProducts';
-- Wine's msi removes the whole upgrade-code registration with the old
-- version; KeepUpgradeCode (immediate, return ignored: 65) registers this
-- product there again when it is missing (never on Windows, which removes
-- only the old product's entry).
UPDATE `InstallExecuteSequence` SET `Sequence` = 6620, `Condition` = 'WIX_UPGRADE_DETECTED AND NOT Installed'
  WHERE `Action` = 'KeepUpgradeCode';
UPDATE `CustomAction` SET `Type` = 65 WHERE `Action` = 'KeepUpgradeCode';

-- The service is stopped, and waited for within its own stop.timeout and 30 s
-- more, before anything is replaced or removed: at an install, repair or
-- upgrade, and at a removal that removes the service (not the old version's
-- removal at the end of an upgrade, whose components the new version keeps:
-- their action is then none, not 2, absent). A service that ran before an
-- install, repair or upgrade is started again after ConfigureService, and
-- after a rollback of anything that stopped it (UndoStopServiceAndWait).
-- NoteRunningService is an immediate action (1) that only reads the
-- service's state.
UPDATE `InstallExecuteSequence` SET `Sequence` = 1410, `Condition` = 'NOT REMOVE~="ALL" OR $ServiceRegistration = 2'
  WHERE `Action` = 'NoteRunningService';
UPDATE `InstallExecuteSequence` SET `Sequence` = 1881, `Condition` = 'SERVICEWASRUNNING AND (NOT REMOVE~="ALL" OR $ServiceRegistration = 2)'
  WHERE `Action` = 'UndoStopServiceAndWaitData';
UPDATE `InstallExecuteSequence` SET `Sequence` = 1885, `Condition` = 'SERVICEWASRUNNING AND (NOT REMOVE~="ALL" OR $ServiceRegistration = 2)'
  WHERE `Action` = 'UndoStopServiceAndWait';
UPDATE `InstallExecuteSequence` SET `Sequence` = 1880, `Condition` = 'NOT REMOVE~="ALL" OR $ServiceRegistration = 2'
  WHERE `Action` = 'StopServiceAndWaitData';
UPDATE `InstallExecuteSequence` SET `Sequence` = 1890, `Condition` = 'NOT REMOVE~="ALL" OR $ServiceRegistration = 2'
  WHERE `Action` = 'StopServiceAndWait';
UPDATE `InstallExecuteSequence` SET `Sequence` = 5860, `Condition` = 'SERVICEWASRUNNING AND NOT REMOVE~="ALL"'
  WHERE `Action` = 'StartServiceAgainData';
UPDATE `InstallExecuteSequence` SET `Sequence` = 5870, `Condition` = 'SERVICEWASRUNNING AND NOT REMOVE~="ALL"'
  WHERE `Action` = 'StartServiceAgain';

-- Event source: EventMessageFile is REG_EXPAND_SZ ("#%" prefix); wixl writes
-- Type="expandable" as a plain string.
UPDATE `Registry` SET `Value` = '#%[INSTALLDIR]MerivastService.exe'
  WHERE `Name` = 'EventMessageFile' AND `Component_` = 'ServiceRegistration';

-- Name "-": uninstall deletes the whole event-source key, whatever values it
-- holds by then.
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`)
  VALUES ('EventSourceKey', 2, 'SYSTEM\CurrentControlSet\Services\EventLog\Application\@SERVICE_NAME@', '-', 'ServiceRegistration');

-- Recovery (restart after 10 s, then after 30 s, then every 60 s, as Windows
-- repeats the last action; the failure count resets after a day; also for
-- stops with a non-zero exit code, which is how the host reports a failed
-- Java side), delayed automatic start, the service SID under any account,
-- the preshutdown time, the services it depends on (which InstallServices
-- would otherwise clear at a repair or an upgrade) and user-defined controls
-- for Administrators only: ConfigureService sets them through the service
-- manager right after InstallServices, at install, repair and upgrade (not at
-- removal). Its data, "<service>;<ms>;<services>", comes from the immediate
-- action before it. 3073 = DLL in the Binary table
-- (1) + deferred (1024) + no impersonation (2048).
UPDATE `InstallExecuteSequence` SET `Sequence` = 5840, `Condition` = 'NOT REMOVE~="ALL"'
  WHERE `Action` = 'ConfigureServiceData';
UPDATE `InstallExecuteSequence` SET `Sequence` = 5850, `Condition` = 'NOT REMOVE~="ALL"'
  WHERE `Action` = 'ConfigureService';

-- The same settings as the values the service manager keeps in the service's
-- key, which it reads when it starts: what Wine's service manager, which
-- knows fewer of these settings, goes by. (The preshutdown time is not among
-- them: Wine's takes it from ConfigureService.) FailureActions is a
-- SERVICE_FAILURE_ACTIONS followed by its SC_ACTION array, little-endian
-- DWORDs ("#x" = REG_BINARY):
--   dwResetPeriod 86400 | lpRebootMsg 0 | lpCommand 0 | cActions 3 | lpsaActions 0
--   {SC_ACTION_RESTART, 10000} {SC_ACTION_RESTART, 30000} {SC_ACTION_RESTART, 60000}
-- DeleteServices removes the key on uninstall.
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('ServiceFailureActions', 2, 'SYSTEM\CurrentControlSet\Services\@SERVICE_NAME@', 'FailureActions', '#x8051010000000000000000000300000000000000010000001027000001000000307500000100000060EA0000', 'ServiceRegistration');
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('ServiceFailureActionsFlag', 2, 'SYSTEM\CurrentControlSet\Services\@SERVICE_NAME@', 'FailureActionsOnNonCrashFailures', '#1', 'ServiceRegistration');
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('ServiceDelayedStart', 2, 'SYSTEM\CurrentControlSet\Services\@SERVICE_NAME@', 'DelayedAutostart', '#1', 'ServiceRegistration');
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('ServiceSidType', 2, 'SYSTEM\CurrentControlSet\Services\@SERVICE_NAME@', 'ServiceSidType', '#1', 'ServiceRegistration');
-- The values go in after InstallServices (5800), not before it as usual
-- (5000): a service manager that writes its whole entry when it creates the
-- service would otherwise overwrite them. The event source's values are not
-- affected.
UPDATE `InstallExecuteSequence` SET `Sequence` = 5810 WHERE `Action` = 'WriteRegistryValues';

-- logs\ is the one folder the service's account may change: modify rights for
-- the service SID (which is the virtual account NT SERVICE\<service name>,
-- and which the service carries under any account, see the SID type above),
-- full control for SYSTEM and Administrators. The rest of the install
-- directory keeps the rights it inherits (read and execute for users). The
-- permission table takes no properties and no names of accounts that do not
-- exist yet, hence the SID itself. Windows Installer 5.0 applies it in
-- CreateFolders; Wine's msi ignores the table.
CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` CHAR(0) NOT NULL, `Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`);
-- 0x1301bf = modify (read, write, execute, delete); OICI = for the folder and
-- everything created in it; AI = inheritable rights of the parent still apply.
INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`)
  VALUES ('LogsDirRights', 'LOGSDIR', 'CreateFolder', 'D:AI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;@SERVICE_SID@)');

-- The files of conf\ belong to the operator once installed: each is a
-- component of its own, and scripts/package makes each permanent (16, + 256
-- in the x64 package), so that a removal leaves every one of them:
--   UPDATE `Component` SET `Attributes` = 16 + @COMPONENT_64BIT@ WHERE `Component` = '<id>';
-- At an install, repair or upgrade, KeepEditedConf copies the edited ones
-- (whose content neither this version nor the remembered one gave them)
-- aside before InstallFiles, and RestoreEditedConf puts them back after it,
-- also at a rollback (UndoKeepEditedConf). 3073 = DLL in the Binary table (1)
-- + deferred (1024) + no impersonation (2048); + 256 = rollback, + 512 =
-- commit.
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'KeepEditedConfData';
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'UndoKeepEditedConfData';
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'RestoreEditedConfData';
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'UndoKeepEditedConf';
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'KeepEditedConf';
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"' WHERE `Action` = 'RestoreEditedConf';
-- At a removal that removes the service (see StopServiceAndWait),
-- RemoveUneditedConf moves those whose content is still the package's away
-- before RemoveFiles; a rollback puts them back (UndoRemoveUneditedConf), the
-- commit deletes them (CommitRemoveUneditedConf). Each action's data,
-- "<service>|[INSTALLDIR]|" and each file with its MD5, comes from the
-- immediate actions before them.
UPDATE `InstallExecuteSequence` SET `Condition` = 'REMOVE~="ALL" AND $ServiceRegistration = 2' WHERE `Action` = 'RemoveUneditedConfData';
UPDATE `InstallExecuteSequence` SET `Condition` = 'REMOVE~="ALL" AND $ServiceRegistration = 2' WHERE `Action` = 'UndoRemoveUneditedConfData';
UPDATE `InstallExecuteSequence` SET `Condition` = 'REMOVE~="ALL" AND $ServiceRegistration = 2' WHERE `Action` = 'CommitRemoveUneditedConfData';
UPDATE `InstallExecuteSequence` SET `Condition` = 'REMOVE~="ALL" AND $ServiceRegistration = 2' WHERE `Action` = 'UndoRemoveUneditedConf';
UPDATE `InstallExecuteSequence` SET `Condition` = 'REMOVE~="ALL" AND $ServiceRegistration = 2' WHERE `Action` = 'RemoveUneditedConf';
UPDATE `InstallExecuteSequence` SET `Condition` = 'REMOVE~="ALL" AND $ServiceRegistration = 2' WHERE `Action` = 'CommitRemoveUneditedConf';

-- The types wixl cannot write: the rollback actions, 3393 = DLL in the Binary
-- table (1) + return ignored (64) + rollback (256) + deferred (1024) + no
-- impersonation (2048); the commit action, 3649 = the same with commit (512)
-- instead of rollback; NoteRunningService, immediate, 1.
UPDATE `CustomAction` SET `Type` = 3393 WHERE `Action` = 'UndoKeepEditedConf';
UPDATE `CustomAction` SET `Type` = 3393 WHERE `Action` = 'UndoKeepExecutable';
UPDATE `CustomAction` SET `Type` = 3393 WHERE `Action` = 'UndoStopServiceAndWait';
UPDATE `CustomAction` SET `Type` = 3393 WHERE `Action` = 'UndoRemoveUneditedConf';
UPDATE `CustomAction` SET `Type` = 3649 WHERE `Action` = 'CommitRemoveUneditedConf';
UPDATE `CustomAction` SET `Type` = 1 WHERE `Action` = 'NoteRunningService';

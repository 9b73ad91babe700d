-- Rows that wixl 0.101 cannot produce from MerivastService.wxs.
-- packaging/author_msi.py runs these statements on the built package with
-- msibuild, in order. Each statement ends with ";" at the end of a line;
-- lines starting with "--" are comments. The component that owns everything
-- here is ServiceRegistration, unless a statement names another. These words
-- are replaced first (msibuild's SQL has no arithmetic):
--   @SERVICE_NAME@             the service's name
--   @SERVICE_SID@              its service SID (scripts/service-sid)
--   @LOCATOR_64BIT@            0, or 16 (msidbLocatorType64bit) in the x64 package,
--                              added to the number right before it

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

-- An upgrade removes the old version right after InstallInitialize, before
-- anything else goes into the installation's script (the second place
-- Microsoft's RemoveExistingProducts page allows): the old version's files,
-- service and registration are gone before the new version's are installed,
-- so no file of the two versions is ever there at once, nothing is in use,
-- and the new version's service starts (StartServiceAgain, 5870) only after
-- the old one is removed. The removal is part of the same transaction: a
-- failure of the new version's installation, or of the old version's
-- removal, rolls both back and leaves the old version as it was.
UPDATE `InstallExecuteSequence` SET `Sequence` = 1501 WHERE `Action` = 'RemoveExistingProducts';

-- The service is stopped, and waited for within its own stop.timeout and 30 s
-- more, before anything is replaced or removed: at an install, a repair, a
-- removal (the old version's in an upgrade too). A service that ran before an
-- install, repair or upgrade is started again after ConfigureService, and
-- after a rollback of anything that stopped it (UndoStopServiceAndWait).
-- NoteRunningService is an immediate action (1) that only reads the
-- service's state.
UPDATE `InstallExecuteSequence` SET `Condition` = 'SERVICEWASRUNNING'
  WHERE `Action` = 'UndoStopServiceAndWaitData' OR `Action` = 'UndoStopServiceAndWait';
UPDATE `InstallExecuteSequence` SET `Condition` = 'SERVICEWASRUNNING AND NOT REMOVE~="ALL"'
  WHERE `Action` = 'StartServiceAgainData' OR `Action` = 'StartServiceAgain';
UPDATE `CustomAction` SET `Type` = 1 WHERE `Action` = 'NoteRunningService';

-- Event source: EventMessageFile is REG_EXPAND_SZ ("#%" prefix); wixl writes
-- Type="expandable" as a plain string.
UPDATE `Registry` SET `Value` = '#%[INSTALLDIR]MerivastService.exe'
  WHERE `Name` = 'EventMessageFile' AND `Component_` = 'ServiceRegistration';

-- Name "-": uninstall deletes the whole event-source key, whatever values it
-- holds by then.
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`)
  VALUES ('EventSourceKey', 2, 'SYSTEM\CurrentControlSet\Services\EventLog\Application\@SERVICE_NAME@', '-', 'ServiceRegistration');

-- Recovery actions, delayed automatic start, the service SID under any
-- account, the preshutdown time, the services it depends on (which
-- InstallServices would otherwise clear at a repair or an upgrade), a given
-- password and user-defined controls for Administrators only:
-- ConfigureService sets them through the service manager right after
-- InstallServices, at install, repair and upgrade (not at removal). Its data
-- holds the password: 8192 (msidbCustomActionTypeHideTarget) keeps it, and
-- MsiHiddenProperties the property, out of the log. 11265 = DLL in the Binary
-- table (1) + deferred (1024) + no impersonation (2048) + 8192; 8243 = a
-- property set from formatted text (51) + 8192.
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"'
  WHERE `Action` = 'ConfigureServiceData' OR `Action` = 'ConfigureService';
UPDATE `CustomAction` SET `Type` = 11265 WHERE `Action` = 'ConfigureService';
UPDATE `CustomAction` SET `Type` = 8243 WHERE `Action` = 'ConfigureServiceData';

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

-- conf\ is the operator's: the package installs its defaults into
-- defaults\. After InstallFiles, at an install, repair or upgrade,
-- PlaceDefaultConf copies each into conf\ where conf\ has no such file; its
-- rollback (RemoveUneditedConfAtRollback) deletes each file of conf\ that holds
-- its default's bytes. At a removal (the old version's in an upgrade too),
-- before RemoveFiles, RemoveUneditedConf deletes those; the rollback of
-- anything before InstallFiles (PlaceDefaultConfAtRollback, at every kind of
-- run) copies the defaults back where conf\ then lacks them. No commit
-- action: nothing waits for the end of the transaction, so a run whose
-- rollback is disabled loses nothing (a default missing from conf\ comes back
-- at the next repair). 3073 = DLL in the Binary table (1) + deferred (1024) +
-- no impersonation (2048); 3393 = the same + rollback (256) + return ignored
-- (64).
UPDATE `InstallExecuteSequence` SET `Condition` = 'REMOVE~="ALL"'
  WHERE `Action` = 'RemoveUneditedConfData' OR `Action` = 'RemoveUneditedConf';
UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT REMOVE~="ALL"'
  WHERE `Action` = 'PlaceDefaultConfData' OR `Action` = 'PlaceDefaultConf'
     OR `Action` = 'RemoveUneditedConfAtRollbackData' OR `Action` = 'RemoveUneditedConfAtRollback';
UPDATE `CustomAction` SET `Type` = 3393
  WHERE `Action` = 'PlaceDefaultConfAtRollback' OR `Action` = 'RemoveUneditedConfAtRollback'
     OR `Action` = 'UndoStopServiceAndWait';

-- Rows that wixl 0.101 cannot produce from MerivastService.wxs. scripts/package
-- runs these statements on the built package with msibuild, in order. Each
-- statement ends with ";" at the end of a line; lines starting with "--" are
-- comments. The component that owns everything here is ServiceExe, unless a
-- statement names another. scripts/package replaces two words first:
--   @SERVICE_SID@              the service SID of MerivastService (scripts/service-sid)
--   @JVM_OPTIONS_ATTRIBUTES@   144 (16 permanent + 128 never overwrite), plus 256
--                              (msidbComponentAttributes64bit) in the x64 package

-- Event source: EventMessageFile is REG_EXPAND_SZ ("#%" prefix); wixl writes
-- Type="expandable" as a plain string.
UPDATE `Registry` SET `Value` = '#%[#MerivastServiceExe]'
  WHERE `Name` = 'EventMessageFile' AND `Component_` = 'ServiceExe';

-- Name "-": uninstall deletes the whole event-source key, whatever values it
-- holds by then.
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`)
  VALUES ('EventSourceKey', 2, 'SYSTEM\CurrentControlSet\Services\EventLog\Application\MerivastService', '-', 'ServiceExe');

-- Recovery: restart after 10 s, twice, then nothing; the failure count resets
-- after a day; the actions also fire when the service stops with a non-zero
-- exit code (MerivastService reports 1066 when its Java side fails).
--
-- 1. MsiConfigureServices (Windows Installer 5.0) applies them through
--    ChangeServiceConfig2 right after InstallServices. These are the rows WiX's
--    ServiceConfigFailureActions and ServiceConfig/@FailureActionsWhen produce.
--    Wine's msi reports VersionMsi 4.5 and skips the action.
CREATE TABLE `MsiServiceConfigFailureActions` (`MsiServiceConfigFailureActions` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Event` SHORT NOT NULL, `ResetPeriod` LONG, `RebootMessage` CHAR(255) LOCALIZABLE, `Command` CHAR(255) LOCALIZABLE, `Actions` CHAR(255), `DelayActions` CHAR(255), `Component_` CHAR(72) NOT NULL PRIMARY KEY `MsiServiceConfigFailureActions`);
-- Event 5 = install + reinstall. Actions: 1 = SC_ACTION_RESTART, 0 = SC_ACTION_NONE.
INSERT INTO `MsiServiceConfigFailureActions` (`MsiServiceConfigFailureActions`, `Name`, `Event`, `ResetPeriod`, `Actions`, `DelayActions`, `Component_`)
  VALUES ('MerivastServiceRecovery', 'MerivastService', 5, 86400, '1[~]1[~]0', '10000[~]10000[~]0', 'ServiceExe');

CREATE TABLE `MsiServiceConfig` (`MsiServiceConfig` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Event` SHORT NOT NULL, `ConfigType` LONG NOT NULL, `Argument` CHAR(0), `Component_` CHAR(72) NOT NULL PRIMARY KEY `MsiServiceConfig`);
-- ConfigType 4 = SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, argument 1 = TRUE.
INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`)
  VALUES ('MerivastServiceRecoveryFlag', 'MerivastService', 5, 4, '1', 'ServiceExe');

-- The rest of the service's configuration, the same way:
-- ConfigType 3 = SERVICE_CONFIG_DELAYED_AUTO_START_INFO, 1 = TRUE: the
--   automatic start waits until the boot's own services have started.
-- ConfigType 5 = SERVICE_CONFIG_SERVICE_SID_INFO, 1 = SERVICE_SID_TYPE_UNRESTRICTED:
--   the service's process carries the service SID whatever its account, so the
--   grant on logs\ (below) holds also for an account the operator chose.
-- ConfigType 7 = SERVICE_CONFIG_PRESHUTDOWN_INFO, in ms: at shutdown the SCM
--   waits for the service as long as the service waits for its application to
--   stop (stop.timeout, 25 s by default) plus 5 s.
INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`)
  VALUES ('MerivastServiceDelayedStart', 'MerivastService', 5, 3, '1', 'ServiceExe');
INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`)
  VALUES ('MerivastServiceSidType', 'MerivastService', 5, 5, '1', 'ServiceExe');
INSERT INTO `MsiServiceConfig` (`MsiServiceConfig`, `Name`, `Event`, `ConfigType`, `Argument`, `Component_`)
  VALUES ('MerivastServicePreshutdown', 'MerivastService', 5, 7, '30000', 'ServiceExe');

INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`)
  VALUES ('MsiConfigureServices', 'VersionMsi >= "5.00"', 5850);

-- 2. The same settings as the values the service manager keeps in the
--    service's key: what it loads when it starts, what Wine shows, and what
--    takes effect (after a restart) where MsiConfigureServices does not run.
--    FailureActions is a SERVICE_FAILURE_ACTIONS followed by its SC_ACTION
--    array, little-endian DWORDs ("#x" = REG_BINARY):
--      dwResetPeriod 86400 | lpRebootMsg 0 | lpCommand 0 | cActions 3 | lpsaActions 0
--      {SC_ACTION_RESTART, 10000} {SC_ACTION_RESTART, 10000} {SC_ACTION_NONE, 0}
--    DeleteServices removes the key on uninstall.
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('ServiceFailureActions', 2, 'SYSTEM\CurrentControlSet\Services\MerivastService', 'FailureActions', '#x8051010000000000000000000300000000000000010000001027000001000000102700000000000000000000', 'ServiceExe');
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('ServiceFailureActionsFlag', 2, 'SYSTEM\CurrentControlSet\Services\MerivastService', 'FailureActionsOnNonCrashFailures', '#1', 'ServiceExe');
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('ServiceDelayedStart', 2, 'SYSTEM\CurrentControlSet\Services\MerivastService', 'DelayedAutostart', '#1', 'ServiceExe');
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('ServiceSidType', 2, 'SYSTEM\CurrentControlSet\Services\MerivastService', 'ServiceSidType', '#1', 'ServiceExe');
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('ServicePreshutdownTimeout', 2, 'SYSTEM\CurrentControlSet\Services\MerivastService', 'PreshutdownTimeout', '#30000', 'ServiceExe');
-- The values go in after InstallServices (5800), not before it as usual
-- (5000): a service manager that writes its whole entry when it creates the
-- service (Wine's writes PreshutdownTimeout with its own default) would
-- otherwise overwrite them. The event source's values are not affected.
UPDATE `InstallExecuteSequence` SET `Sequence` = 5810 WHERE `Action` = 'WriteRegistryValues';

-- logs\ is the one folder the service's account may change: modify rights for
-- the service SID (which is the virtual account NT SERVICE\MerivastService,
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

-- conf\jvm.options belongs to the operator once installed: 16 = permanent (an
-- uninstall, and with it the removal of the old version at the start of a
-- major upgrade, leaves the file), 128 = never overwrite (an install, repair
-- or upgrade that finds the file installs nothing).
UPDATE `Component` SET `Attributes` = @JVM_OPTIONS_ATTRIBUTES@ WHERE `Component` = 'JvmOptions';

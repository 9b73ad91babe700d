-- Rows that wixl 0.101 cannot produce from MerivastService.wxs. scripts/package
-- runs these statements on the built package with msibuild, in order. Each
-- statement ends with ";" at the end of a line; lines starting with "--" are
-- comments. The component that owns everything here is ServiceExe.

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

INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`)
  VALUES ('MsiConfigureServices', 'VersionMsi >= "5.00"', 5850);

-- 2. The same settings as the values the service manager keeps in the
--    service's key: what it loads when it starts, what Wine shows, and what
--    takes effect (after a restart) where MsiConfigureServices does not run.
--    FailureActions is a SERVICE_FAILURE_ACTIONS followed by its SC_ACTION
--    array, little-endian DWORDs ("#x" = REG_BINARY):
--      dwResetPeriod 86400 | lpRebootMsg 0 | lpCommand 0 | cActions 3 | lpsaActions 0
--      {SC_ACTION_RESTART, 10000} {SC_ACTION_RESTART, 10000} {SC_ACTION_NONE, 0}
--    WriteRegistryValues runs before InstallServices, so the key exists when
--    the service is created; DeleteServices removes it on uninstall.
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('ServiceFailureActions', 2, 'SYSTEM\CurrentControlSet\Services\MerivastService', 'FailureActions', '#x8051010000000000000000000300000000000000010000001027000001000000102700000000000000000000', 'ServiceExe');
INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`)
  VALUES ('ServiceFailureActionsFlag', 2, 'SYSTEM\CurrentControlSet\Services\MerivastService', 'FailureActionsOnNonCrashFailures', '#1', 'ServiceExe');

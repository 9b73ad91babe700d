@echo off
rem Registers this folder's MerivastService.exe as the Windows service
rem "MerivastService" (own process, automatic start), sets its recovery actions
rem and registers its event-log source. Run it as an administrator from the
rem install directory, i.e. the folder that holds MerivastService.exe:
rem
rem   install.cmd                      runs the service as LocalSystem
rem   install.cmd ACCOUNT [PASSWORD]   e.g. "NT AUTHORITY\LocalService", or
rem                                    .\merivast with its password
rem
rem The service is left stopped; put the Java runtime in jre\ first, then
rem "sc start MerivastService". uninstall.cmd undoes all of this.
rem
rem Exit codes: 0 done, 1 MerivastService.exe not found, 2 "sc create" failed,
rem 3 "sc failure" failed, 4 the failure-actions flag could not be set, 5 the
rem event source could not be registered.
setlocal
set "SERVICE=MerivastService"
set "EXE=%~dp0MerivastService.exe"
set "SERVICEKEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
set "EVENTKEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE%"

if not exist "%EXE%" goto no_exe

echo install: creating service %SERVICE% for "%EXE%"
if "%~1"=="" goto create_localsystem
if "%~2"=="" goto create_account
sc create %SERVICE% binPath= "\"%EXE%\"" start= auto obj= "%~1" password= "%~2"
goto created
:create_account
sc create %SERVICE% binPath= "\"%EXE%\"" start= auto obj= "%~1"
goto created
:create_localsystem
sc create %SERVICE% binPath= "\"%EXE%\"" start= auto
:created
if errorlevel 1 goto create_failed

rem Restart after 10 s, twice, then nothing; the failure count resets after a
rem day. The flag makes the actions fire also when the service stops with a
rem non-zero exit code, which is how MerivastService reports a failed Java
rem side (1066).
echo install: setting recovery actions (restart after 10 s, twice; reset after 1 day)
sc failure %SERVICE% reset= 86400 actions= restart/10000/restart/10000//
if errorlevel 1 goto failure_failed

echo install: enabling recovery actions for stops with a non-zero exit code
sc failureflag %SERVICE% 1
if not errorlevel 1 goto flag_done
rem An sc without the failureflag verb (Wine's, for one): store the flag
rem where the service manager keeps it; it reads the value when it starts.
>&2 echo install: warning: "sc failureflag" failed; writing FailureActionsOnNonCrashFailures to %SERVICEKEY% instead
reg add "%SERVICEKEY%" /v FailureActionsOnNonCrashFailures /t REG_DWORD /d 1 /f >nul
if errorlevel 1 goto flag_failed
:flag_done

echo install: registering event source %SERVICE%
reg add "%EVENTKEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%EXE%" /f >nul
if errorlevel 1 goto eventsource_failed
reg add "%EVENTKEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto eventsource_failed

echo install: done; %SERVICE% is installed and stopped
exit /b 0

:no_exe
>&2 echo install: error: "%EXE%" not found; install.cmd must sit in the folder that holds MerivastService.exe
exit /b 1
:create_failed
>&2 echo install: error: "sc create" failed (exit code %errorlevel%); is %SERVICE% already installed, and is this an administrator prompt?
exit /b 2
:failure_failed
>&2 echo install: error: "sc failure" failed (exit code %errorlevel%); run uninstall.cmd to remove the service
exit /b 3
:flag_failed
>&2 echo install: error: could not enable recovery for non-zero exit codes (exit code %errorlevel%); run uninstall.cmd to remove the service
exit /b 4
:eventsource_failed
>&2 echo install: error: could not register the event source under %EVENTKEY% (exit code %errorlevel%); run uninstall.cmd to remove the service
exit /b 5

@echo off
rem Registers this folder's MerivastService.exe as the Windows service
rem "MerivastService" (own process, delayed automatic start), sets its recovery
rem actions, service SID type and preshutdown time, registers its event-log
rem source, and lets the service change logs\ (and nothing else here). Run it
rem as an administrator from the install directory, i.e. the folder that holds
rem MerivastService.exe:
rem
rem   install.cmd                      runs the service under its own virtual
rem                                    account, NT SERVICE\MerivastService
rem   install.cmd ACCOUNT [PASSWORD]   e.g. LocalSystem, "NT AUTHORITY\LocalService",
rem                                    or .\merivast with its password
rem
rem The service is left stopped; put the Java runtime in jre\ first, then
rem "sc start MerivastService". uninstall.cmd undoes all of this but the rights
rem on logs\. The files in conf\ are not touched.
rem
rem Exit codes: 0 done, 1 MerivastService.exe not found, 2 "sc create" failed,
rem 3 "sc failure" failed, 4 the failure-actions flag could not be set, 5 the
rem event source could not be registered, 6 the SID type, delayed start or
rem preshutdown time could not be stored.
setlocal
set "SERVICE=MerivastService"
set "ACCOUNT=NT SERVICE\%SERVICE%"
set "EXE=%~dp0MerivastService.exe"
set "LOGS=%~dp0logs"
set "SERVICEKEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
set "EVENTKEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE%"

if not exist "%EXE%" goto no_exe
if not "%~1"=="" set "ACCOUNT=%~1"

echo install: creating service %SERVICE% for "%EXE%", account %ACCOUNT%
if "%~2"=="" goto create_without_password
sc create %SERVICE% binPath= "\"%EXE%\"" start= delayed-auto obj= "%ACCOUNT%" password= "%~2"
goto created
:create_without_password
sc create %SERVICE% binPath= "\"%EXE%\"" start= delayed-auto obj= "%ACCOUNT%"
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

rem The service's process carries its service SID under any account, so that
rem the grant on logs\ below holds also for an account named above.
echo install: giving the service its service SID under any account
sc sidtype %SERVICE% unrestricted
if not errorlevel 1 goto sidtype_done
>&2 echo install: warning: "sc sidtype" failed; writing ServiceSidType to %SERVICEKEY% instead
reg add "%SERVICEKEY%" /v ServiceSidType /t REG_DWORD /d 1 /f >nul
if errorlevel 1 goto config_failed
:sidtype_done

rem The values below go straight to the service's key, after the last sc
rem call: a service manager that writes its whole entry on a change (Wine's)
rem would overwrite them otherwise. It reads them when it starts.
rem An sc that does not know "start= delayed-auto" (Wine's) creates a service
rem started on demand.
reg query "%SERVICEKEY%" /v Start 2>nul | "%SystemRoot%\System32\find.exe" "0x2" >nul
if not errorlevel 1 goto start_done
>&2 echo install: warning: "sc create" did not take "start= delayed-auto"; writing Start and DelayedAutostart to %SERVICEKEY% instead
reg add "%SERVICEKEY%" /v Start /t REG_DWORD /d 2 /f >nul
if errorlevel 1 goto config_failed
reg add "%SERVICEKEY%" /v DelayedAutostart /t REG_DWORD /d 1 /f >nul
if errorlevel 1 goto config_failed
:start_done

rem sc has no verb for the preshutdown time: 35 s, the 30 s the service gives
rem its application to stop (stop.timeout in conf\service.properties) plus 5 s.
echo install: setting the preshutdown time to 35 s
reg add "%SERVICEKEY%" /v PreshutdownTimeout /t REG_DWORD /d 35000 /f >nul
if errorlevel 1 goto config_failed

echo install: registering event source %SERVICE%
reg add "%EVENTKEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%EXE%" /f >nul
if errorlevel 1 goto eventsource_failed
reg add "%EVENTKEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto eventsource_failed

rem The service SID may modify logs\ and everything in it; the rest of this
rem folder keeps the rights it has. A missing icacls (or one that changes
rem nothing, as Wine's) leaves the service running without the grant.
echo install: letting NT SERVICE\%SERVICE% modify "%LOGS%"
if not exist "%LOGS%" mkdir "%LOGS%"
icacls "%LOGS%" /grant "NT SERVICE\%SERVICE%:(OI)(CI)M" >nul 2>&1
icacls "%LOGS%" 2>nul | "%SystemRoot%\System32\find.exe" /i "NT SERVICE\%SERVICE%" >nul
if not errorlevel 1 goto logs_done
>&2 echo install: warning: could not grant NT SERVICE\%SERVICE% modify rights on "%LOGS%"; unless the account may write there, grant them: icacls "%LOGS%" /grant "NT SERVICE\%SERVICE%:(OI)(CI)M"
:logs_done

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
:config_failed
>&2 echo install: error: could not write the service's settings to %SERVICEKEY% (exit code %errorlevel%); run uninstall.cmd to remove the service
exit /b 6

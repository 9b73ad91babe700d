@echo off
rem Stops and removes the Windows service "MerivastService" and its event-log
rem source, as created by install.cmd. Run it as an administrator. The files
rem stay; delete the install directory afterwards.
rem
rem Exit codes: 0 done (also when there was nothing to remove), 1 the service
rem did not stop, 2 "sc delete" failed, 3 the event source could not be
rem removed.
setlocal
set "SERVICE=MerivastService"
set "EVENTKEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE%"

sc query %SERVICE% >nul 2>&1
if errorlevel 1 goto no_service

rem "sc stop" fails when the service is not running; what counts is the state
rem it ends in. Give it 60 s to reach STOPPED.
echo uninstall: stopping service %SERVICE%
sc stop %SERVICE% >nul 2>&1
set /a WAITED=0
:wait_stopped
sc query %SERVICE% | "%SystemRoot%\System32\find.exe" "STOPPED" >nul
if not errorlevel 1 goto stopped
if %WAITED% geq 60 goto stop_failed
set /a WAITED+=1
ping -n 2 127.0.0.1 >nul
goto wait_stopped
:stopped

echo uninstall: deleting service %SERVICE%
sc delete %SERVICE%
if errorlevel 1 goto delete_failed
goto remove_event_source

:no_service
echo uninstall: service %SERVICE% is not installed

:remove_event_source
reg query "%EVENTKEY%" >nul 2>&1
if errorlevel 1 goto done
echo uninstall: removing event source %SERVICE%
reg delete "%EVENTKEY%" /f >nul
if errorlevel 1 goto eventsource_failed

:done
echo uninstall: done
exit /b 0

:stop_failed
>&2 echo uninstall: error: %SERVICE% did not stop within 60 s; nothing was removed
exit /b 1
:delete_failed
>&2 echo uninstall: error: "sc delete" failed (exit code %errorlevel%); is this an administrator prompt?
exit /b 2
:eventsource_failed
>&2 echo uninstall: error: could not remove the event source %EVENTKEY% (exit code %errorlevel%)
exit /b 3

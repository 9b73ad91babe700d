@echo off
rem Stops and removes a Windows service and its event-log source, as created
rem by install.cmd. Run it as an administrator:
rem
rem   uninstall.cmd [/name:NAME]
rem
rem NAME is the service's name; without /name:, the one this copy was made for
rem (SERVICE below). The files stay; delete the install directory afterwards.
rem
rem Exit codes: 0 done (also when there was nothing to remove), 1 the service
rem did not stop, 2 "sc delete" failed, 3 the event source could not be
rem removed, 7 the service name is not valid, 10 an argument it does not take.
setlocal
set "SC=%SystemRoot%\System32\sc.exe"
if defined MERIVAST_SC set "SC=%MERIVAST_SC%"
rem The service this copy was made for; scripts/package sets it.
set "SERVICE=MerivastService"
rem The x keeps the substrings below defined when there is no argument.
set "ARG=x%~1"
if /i not "%ARG:~0,7%"=="x/name:" goto name_known
set "SERVICE=%ARG:~7%"
shift
:name_known
set "ARG=%~1"
if defined ARG goto stray_argument
call :check_name
if errorlevel 1 exit /b 7
set "EVENTKEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE%"

"%SC%" query "%SERVICE%" >nul 2>&1
if errorlevel 1 goto no_service

rem "sc stop" fails when the service is not running; what counts is the state
rem it ends in. Give it 60 s to reach STOPPED.
echo uninstall: stopping service %SERVICE%
"%SC%" stop "%SERVICE%" >nul 2>&1
set /a WAITED=0
:wait_stopped
"%SC%" query "%SERVICE%" | "%SystemRoot%\System32\find.exe" "STOPPED" >nul
if not errorlevel 1 goto stopped
if %WAITED% geq 60 goto stop_failed
set /a WAITED+=1
ping -n 2 127.0.0.1 >nul
goto wait_stopped
:stopped

echo uninstall: deleting service %SERVICE%
"%SC%" delete "%SERVICE%"
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

:check_name
rem The same names as install.cmd takes, for the same reasons.
set "NAME_RULE=1 to 80 characters, each a letter, a digit, '.', '-' or '_'"
if "%SERVICE%"=="" goto bad_name
for /f "eol=_ delims=ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-" %%c in ("A%SERVICE%") do if not "%%c"=="" goto bad_name
set "PADDED=%SERVICE%*********************************************************************************"
if not "%PADDED:~80,1%"=="*" goto bad_name
set "NAME_RULE=Windows forbids a folder name that ends in a period"
if "%SERVICE:~-1%"=="." goto bad_name
set "NAME_RULE=the first character must be a letter or a digit"
for %%c in (. - _) do if "%SERVICE:~0,1%"=="%%c" goto bad_name
for /f "delims=." %%p in ("%SERVICE%") do set "STEM=%%p"
for %%r in (CON PRN AUX NUL COM0 COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 LPT0 LPT1 LPT2 LPT3 LPT4 LPT5 LPT6 LPT7 LPT8 LPT9) do if /i "%STEM%"=="%%r" goto reserved_name
exit /b 0
:reserved_name
set "NAME_RULE=%STEM% is a device name Windows reserves, also before a '.'"
:bad_name
>&2 echo uninstall: error: "%SERVICE%" is not a service name install.cmd takes: %NAME_RULE%
exit /b 1

:stray_argument
>&2 echo uninstall: error: "%~1" is not an argument this script takes: only /name:NAME
exit /b 10
:stop_failed
>&2 echo uninstall: error: %SERVICE% did not stop within 60 s; nothing was removed
exit /b 1
:delete_failed
>&2 echo uninstall: error: "sc delete" failed (exit code %errorlevel%); is this an administrator prompt?
exit /b 2
:eventsource_failed
>&2 echo uninstall: error: could not remove the event source %EVENTKEY% (exit code %errorlevel%)
exit /b 3

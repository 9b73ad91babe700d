@echo off
rem Registers this folder's MerivastService.exe as a Windows service (own
rem process, delayed automatic start), sets its recovery actions, service SID
rem type, preshutdown time, the services it depends on and who may send it
rem user-defined controls, registers its event-log source, and lets the
rem service change logs\ (and nothing else here). Run it as an administrator
rem from the install directory, i.e. the folder that holds MerivastService.exe:
rem
rem   install.cmd [/name:NAME] [/depend:SERVICES] [ACCOUNT [PASSWORD]]
rem
rem   NAME      the service's name; without /name:, the one this copy was made
rem             for (SERVICE below). Also the source of its events and the name
rem             of its virtual account.
rem             1 to 80 characters: letters, digits, '.', '-' and '_', the
rem             first a letter or a digit, not ending in '.', and not a device
rem             name Windows reserves (CON, PRN, AUX, NUL, COM0-9, LPT0-9, also
rem             before a '.').
rem   SERVICES  the services it needs started first (a database, a network
rem             agent), separated by '/', e.g. /depend:MSSQL$SQLEXPRESS/Tcpip;
rem             /depend:/ for none. Each 1 to 256 letters, digits, '.', '-',
rem             '_' and '$', not NAME itself. Without /depend:, a new service
rem             depends on none and an existing one keeps its own.
rem   ACCOUNT   the account it runs under; without one, its own virtual
rem             account NT SERVICE\NAME. E.g. LocalSystem,
rem             "NT AUTHORITY\LocalService", or .\merivast with its PASSWORD.
rem
rem One install directory per service: its conf\ and logs\ are its own.
rem
rem Upgrade: when the service NAME exists already, this folder takes it over:
rem the service and its event source are pointed at this folder's
rem MerivastService.exe, and its account and dependencies stay unless named.
rem Stop the service first.
rem
rem The service is left stopped; put the Java runtime in jre\ first, then
rem "sc start NAME". uninstall.cmd undoes all of this but the rights on logs\.
rem The files in conf\ are not touched.
rem
rem Where sc lacks a verb (Wine's has no config, failureflag or sidtype: it
rem ends with exit code 1 and no output, where Windows' sc ends with the
rem Windows error, 1057 or 1072 for example), the value goes to the service's
rem registry key instead, which the service manager reads when it starts. Any
rem other failure of sc stops this script with sc's error: the service
rem manager would otherwise keep its old settings until a reboot and then
rem take values nobody checked. MERIVAST_SC may name another program to run as
rem sc (the tests use it to play Windows' sc).
rem
rem Exit codes: 0 done, 1 MerivastService.exe not found, 2 "sc create" failed,
rem 3 "sc failure" failed, 4 the failure-actions flag could not be set, 5 the
rem event source could not be registered, 6 the SID type, delayed start,
rem preshutdown time, dependencies or service security could not be set, 7
rem the service name is not valid, 8 the existing service could not be
rem pointed at this folder, 9 the dependencies are not a list it takes.
setlocal
rem This script's folder, taken before any shift changes %0.
set "HERE=%~dp0"
set "SC=%SystemRoot%\System32\sc.exe"
if defined MERIVAST_SC set "SC=%MERIVAST_SC%"
rem The architecture of this copy's executable and of its helper DLL, whose
rem rundll32 must be of the same; scripts/package sets it.
set "PACKAGE_ARCH=x86"
rem The service this copy was made for; scripts/package sets it.
set "SERVICE=MerivastService"
set "DEPENDS="
set "DEPENDS_GIVEN="
:next_option
rem The x keeps the substrings below defined when there is no argument.
set "ARG=x%~1"
if /i "%ARG:~0,7%"=="x/name:" goto name_option
if /i "%ARG:~0,9%"=="x/depend:" goto depend_option
goto options_done
:name_option
set "SERVICE=%ARG:~7%"
shift
goto next_option
:depend_option
set "DEPENDS=%ARG:~9%"
set "DEPENDS_GIVEN=1"
shift
goto next_option
:options_done
call :check_name
if errorlevel 1 exit /b 7
if not defined DEPENDS_GIVEN goto dependencies_checked
rem An empty list is none, as '/' is.
if not defined DEPENDS set "DEPENDS=/"
call :check_dependencies
if errorlevel 1 exit /b 9
:dependencies_checked
set "ACCOUNT=NT SERVICE\%SERVICE%"
set "EXE=%HERE%MerivastService.exe"
set "ACTIONS=%HERE%MerivastInstallActions.dll"
rem MerivastInstallActions.dll's rundll32 must be of its architecture: on
rem 64-bit Windows the 32-bit one is in SysWOW64.
set "RUNDLL=%SystemRoot%\System32\rundll32.exe"
if "%PACKAGE_ARCH%"=="x86" if exist "%SystemRoot%\SysWOW64\rundll32.exe" set "RUNDLL=%SystemRoot%\SysWOW64\rundll32.exe"
set "LOGS=%HERE%logs"
set "SERVICEKEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
set "EVENTKEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE%"

if not exist "%EXE%" goto no_exe
if not exist "%ACTIONS%" goto no_actions
"%SC%" query "%SERVICE%" >nul 2>&1
if not errorlevel 1 goto take_over
if not "%~1"=="" set "ACCOUNT=%~1"

echo install: creating service %SERVICE% for "%EXE%", account %ACCOUNT%
if "%~2"=="" goto create_without_password
"%SC%" create "%SERVICE%" binPath= "\"%EXE%\"" start= delayed-auto obj= "%ACCOUNT%" password= "%~2"
goto created
:create_without_password
"%SC%" create "%SERVICE%" binPath= "\"%EXE%\"" start= delayed-auto obj= "%ACCOUNT%"
:created
if errorlevel 1 goto create_failed
call :set_preshutdown
if errorlevel 1 exit /b 6
call :set_dependencies
if errorlevel 1 exit /b 6
goto configure

:take_over
rem An upgrade by copying: the service's settings stay; it runs this folder's
rem executable from its next start on. No blocks here: the folder's path may
rem hold parentheses.
set "TAKEN_OVER=1"
echo install: service %SERVICE% exists; pointing it at "%EXE%"
if not "%~1"=="" goto take_over_with_account
echo install: keeping its account
"%SC%" config "%SERVICE%" binPath= "\"%EXE%\""
if errorlevel 2 goto take_over_failed
if not errorlevel 1 goto taken_over_by_sc
goto take_over_by_registry
:take_over_with_account
echo install: account %~1
if "%~2"=="" goto take_over_without_password
"%SC%" config "%SERVICE%" binPath= "\"%EXE%\"" obj= "%~1" password= "%~2"
if errorlevel 1 goto take_over_failed
goto taken_over_by_sc
:take_over_without_password
"%SC%" config "%SERVICE%" binPath= "\"%EXE%\"" obj= "%~1"
if errorlevel 2 goto take_over_failed
if not errorlevel 1 goto taken_over_by_sc
:take_over_by_registry
rem An sc without the config verb (Wine's): store the path (and the account)
rem where the service manager keeps them; it reads them when it starts. A
rem password has no such place. The preshutdown time goes first: its change
rem makes such a service manager write the entry it holds, and with it the
rem start type it holds, which is put back, as is the delayed start it does
rem not hold.
set "KEPT_START="
set "KEPT_DELAYED="
for /f "tokens=3" %%v in ('reg query "%SERVICEKEY%" /v Start 2^>nul ^| "%SystemRoot%\System32\find.exe" "Start"') do set "KEPT_START=%%v"
for /f "tokens=3" %%v in ('reg query "%SERVICEKEY%" /v DelayedAutostart 2^>nul ^| "%SystemRoot%\System32\find.exe" "DelayedAutostart"') do set "KEPT_DELAYED=%%v"
call :set_preshutdown
if errorlevel 1 exit /b 6
call :set_dependencies
if errorlevel 1 exit /b 6
if defined KEPT_START reg add "%SERVICEKEY%" /v Start /t REG_DWORD /d %KEPT_START% /f >nul
if defined KEPT_DELAYED reg add "%SERVICEKEY%" /v DelayedAutostart /t REG_DWORD /d %KEPT_DELAYED% /f >nul
>&2 echo install: warning: this sc has no "config" verb; writing ImagePath to %SERVICEKEY% instead
reg add "%SERVICEKEY%" /v ImagePath /t REG_EXPAND_SZ /d "\"%EXE%\"" /f >nul
if errorlevel 1 goto take_over_failed
if "%~1"=="" goto taken_over
reg add "%SERVICEKEY%" /v ObjectName /t REG_SZ /d "%~1" /f >nul
if errorlevel 1 goto take_over_failed
goto taken_over
:taken_over_by_sc
call :set_preshutdown
if errorlevel 1 exit /b 6
call :set_dependencies
if errorlevel 1 exit /b 6
:taken_over
"%SC%" query "%SERVICE%" | "%SystemRoot%\System32\find.exe" "STOPPED" >nul
if errorlevel 1 >&2 echo install: warning: %SERVICE% is running from its old folder; it runs from this one after "sc stop %SERVICE%" and "sc start %SERVICE%"

:configure
rem Restart after 10 s, then after 30 s, then every 60 s (Windows repeats the
rem last action for every further failure, so the service is never left
rem down); the failure count resets after a day. The flag makes the actions
rem fire also when the service stops with a non-zero exit code, which is how
rem MerivastService reports a failed Java side (1066). sc changes the service manager's own record: both take effect
rem at once.
echo install: setting recovery actions (restart after 10 s, 30 s, then every 60 s; reset after 1 day)
"%SC%" failure "%SERVICE%" reset= 86400 actions= restart/10000/restart/30000/restart/60000
if errorlevel 1 goto failure_failed

echo install: enabling recovery actions for stops with a non-zero exit code
"%SC%" failureflag "%SERVICE%" 1
if errorlevel 2 goto flag_failed
if not errorlevel 1 goto flag_done
rem An sc without the failureflag verb (Wine's, for one): store the flag
rem where the service manager keeps it; it reads the value when it starts.
>&2 echo install: warning: this sc has no "failureflag" verb; writing FailureActionsOnNonCrashFailures to %SERVICEKEY% instead
reg add "%SERVICEKEY%" /v FailureActionsOnNonCrashFailures /t REG_DWORD /d 1 /f >nul
if errorlevel 1 goto flag_failed
:flag_done

rem The service's process carries its service SID under any account, so that
rem the grant on logs\ below holds also for an account named above.
echo install: giving the service its service SID under any account
"%SC%" sidtype "%SERVICE%" unrestricted
if errorlevel 2 goto sidtype_failed
if not errorlevel 1 goto sidtype_done
>&2 echo install: warning: this sc has no "sidtype" verb; writing ServiceSidType to %SERVICEKEY% instead
reg add "%SERVICEKEY%" /v ServiceSidType /t REG_DWORD /d 1 /f >nul
if errorlevel 1 goto config_failed
:sidtype_done

rem This service writes thread and heap dumps, which hold the application's
rem secrets, on user-defined controls (255, 254): only Administrators may
rem send them (and SYSTEM, the owner of the service's security), where
rem Windows lets every local authenticated user; every other right stays. Set
rem through the service manager (sc sdset would need the whole descriptor);
rem a service manager that keeps no service security (Wine's) gets it in the
rem service's key, which Windows' service manager reads when it starts.
echo install: letting only Administrators send %SERVICE% user-defined controls
"%RUNDLL%" "%ACTIONS%",RestrictUserControls %SERVICE%
if not errorlevel 1 goto security_done
if not "%errorlevel%"=="3" goto security_failed
>&2 echo install: warning: the service manager keeps no service security; wrote it to %SERVICEKEY%\Security instead
:security_done

rem The values below go straight to the service's key, after the last sc
rem call: a service manager that writes its whole entry on a change (Wine's)
rem would overwrite them otherwise. It reads them when it starts.
rem An sc that does not know "start= delayed-auto" (Wine's) creates a service
rem started on demand. A service taken over keeps its start type.
if defined TAKEN_OVER goto start_done
reg query "%SERVICEKEY%" /v Start 2>nul | "%SystemRoot%\System32\find.exe" "0x2" >nul
if not errorlevel 1 goto start_done
>&2 echo install: warning: "sc create" did not take "start= delayed-auto"; writing Start and DelayedAutostart to %SERVICEKEY% instead
reg add "%SERVICEKEY%" /v Start /t REG_DWORD /d 2 /f >nul
if errorlevel 1 goto config_failed
reg add "%SERVICEKEY%" /v DelayedAutostart /t REG_DWORD /d 1 /f >nul
if errorlevel 1 goto config_failed
:start_done


echo install: registering event source %SERVICE% for "%EXE%"
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

echo install: done; %SERVICE% is installed for "%EXE%"
exit /b 0

rem set_preshutdown: sc has no verb for the preshutdown time: 30 s, the 25 s
rem the service gives its application to stop (stop.timeout in
rem conf\service.properties) plus 5 s. MerivastInstallActions.dll sets it
rem through the service manager, which applies it at once; its exit code 3:
rem the service manager does not know the setting (as before Vista), then the
rem value goes to the registry, read when the service manager starts. Called
rem before any value goes to the registry: a service
rem manager that writes its whole entry on a change (Wine's) would overwrite
rem them. Fails, saying why, when the time cannot be set.
:set_preshutdown
echo install: setting the preshutdown time to 30 s
"%RUNDLL%" "%ACTIONS%",SetPreshutdownTime %SERVICE% 30000
if not errorlevel 1 exit /b 0
if not "%errorlevel%"=="3" goto preshutdown_failed
>&2 echo install: warning: the service manager does not know the preshutdown time; writing PreshutdownTimeout to %SERVICEKEY% instead (read from the next reboot on)
reg add "%SERVICEKEY%" /v PreshutdownTimeout /t REG_DWORD /d 30000 /f >nul
if errorlevel 1 goto preshutdown_stored_failed
exit /b 0
:preshutdown_failed
>&2 echo install: error: the preshutdown time could not be set through the service manager (rundll32 "%ACTIONS%" ended with %errorlevel%: 1 bad command line, 2 service not opened, 4 change refused); run uninstall.cmd to remove the service
exit /b 1
:preshutdown_stored_failed
>&2 echo install: error: could not write PreshutdownTimeout to %SERVICEKEY%; run uninstall.cmd to remove the service
exit /b 1

rem set_dependencies: the services named with /depend:, through the service
rem manager (MerivastInstallActions.dll), which applies them at once. sc's
rem depend= would do on Windows, but Wine's sc stores the list without the
rem nulls that end its names, and Wine's has no "config" verb for a service
rem taken over. Called right after set_preshutdown, for the same reason.
:set_dependencies
if not defined DEPENDS_GIVEN exit /b 0
echo install: setting the services %SERVICE% depends on: %DEPENDS%
"%RUNDLL%" "%ACTIONS%",SetDependencies %SERVICE% %DEPENDS%
if not errorlevel 1 exit /b 0
>&2 echo install: error: the services %SERVICE% depends on could not be set through the service manager (rundll32 "%ACTIONS%" ended with %errorlevel%: 1 bad command line, 2 service not opened, 4 change refused); run uninstall.cmd to remove the service
exit /b 1

rem check_dependencies: fails, saying why, unless DEPENDS is '/' (none) or
rem names separated by single '/', each 1 to 256 characters from the letters,
rem digits, '.', '-', '_' and '$' (MSSQL$SQLEXPRESS), none of them SERVICE
rem itself (a circle, which Windows refuses). The service manager refuses '/'
rem and '\' in a name; the rest keeps each name a word on this command line.
rem MerivastInstallActions.dll and the MSI take the same lists.
:check_dependencies
set "DEPENDS_RULE=each name 1 to 256 characters, each a letter, a digit, '.', '-', '_' or '$', the names separated by single '/' ('/' alone: none)"
if "%DEPENDS%"=="/" exit /b 0
for /f "eol=_ delims=ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-$/" %%c in ("A%DEPENDS%") do if not "%%c"=="" goto bad_dependencies
if "%DEPENDS:~0,1%"=="/" goto bad_dependencies
if "%DEPENDS:~-1%"=="/" goto bad_dependencies
if not "%DEPENDS://=%"=="%DEPENDS%" goto bad_dependencies
set "REST=%DEPENDS%"
set "STARS=****************"
:check_next_dependency
set "ONE="
set "NEXT="
for /f "tokens=1 delims=/" %%a in ("%REST%") do set "ONE=%%a"
for /f "tokens=1* delims=/" %%a in ("%REST%") do set "NEXT=%%b"
rem At most 256: the 257th character of the name padded with 272 stars is a star.
set "PADDED=%ONE%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%%STARS%"
if not "%PADDED:~256,1%"=="*" goto bad_dependencies
if /i "%ONE%"=="%SERVICE%" goto dependency_is_itself
set "REST=%NEXT%"
if defined REST goto check_next_dependency
exit /b 0
:bad_dependencies
>&2 echo install: error: "/depend:%DEPENDS%" is not a list of services this script takes: %DEPENDS_RULE%
exit /b 1
:dependency_is_itself
>&2 echo install: error: "/depend:%DEPENDS%" names %SERVICE% itself: a service cannot depend on itself
exit /b 1

rem check_name: fails, saying why, unless SERVICE is 1 to 80 characters from
rem the letters, digits, '.', '-' and '_', the first a letter or a digit, not
rem ending in '.', and not a device name: a name that is safe as a service
rem name, a registry key, an account name, a folder and a word on this command
rem line ("Naming Files, Paths, and Namespaces" forbids the device names, also
rem before an extension, and a name ending in a period).
:check_name
set "NAME_RULE=1 to 80 characters, each a letter, a digit, '.', '-' or '_'"
if "%SERVICE%"=="" goto bad_name
rem Every allowed character separates words, so the name holds a word only
rem when it holds another character (Wine's cmd also gives an empty word for a
rem line of separators). The leading "A" keeps the line from beginning with
rem the end-of-line character.
for /f "eol=_ delims=ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-" %%c in ("A%SERVICE%") do if not "%%c"=="" goto bad_name
rem At most 80: the 81st character of the name padded with 81 stars is a star.
rem (Wine's cmd reads past the end of a name shorter than the offset asked.)
set "PADDED=%SERVICE%*********************************************************************************"
if not "%PADDED:~80,1%"=="*" goto bad_name
set "NAME_RULE=Windows forbids a folder name that ends in a period"
if "%SERVICE:~-1%"=="." goto bad_name
set "NAME_RULE=the first character must be a letter or a digit"
for %%c in (. - _) do if "%SERVICE:~0,1%"=="%%c" goto bad_name
rem The part before the first period.
for /f "delims=." %%p in ("%SERVICE%") do set "STEM=%%p"
for %%r in (CON PRN AUX NUL COM0 COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 LPT0 LPT1 LPT2 LPT3 LPT4 LPT5 LPT6 LPT7 LPT8 LPT9) do if /i "%STEM%"=="%%r" goto reserved_name
exit /b 0
:reserved_name
set "NAME_RULE=%STEM% is a device name Windows reserves, also before a '.'"
:bad_name
>&2 echo install: error: "%SERVICE%" is not a service name this script takes: %NAME_RULE%
exit /b 1

:no_exe
>&2 echo install: error: "%EXE%" not found; install.cmd must sit in the folder that holds MerivastService.exe
exit /b 1
:no_actions
>&2 echo install: error: "%ACTIONS%" not found; it comes with MerivastService.exe in the zip
exit /b 1
:create_failed
>&2 echo install: error: "sc create" failed (exit code %errorlevel%); is this an administrator prompt?
exit /b 2
:failure_failed
>&2 echo install: error: "sc failure" failed (exit code %errorlevel%); run uninstall.cmd to remove the service
exit /b 3
:flag_failed
>&2 echo install: error: could not enable recovery for non-zero exit codes (error %errorlevel%); run uninstall.cmd to remove the service
exit /b 4
:eventsource_failed
>&2 echo install: error: could not register the event source under %EVENTKEY% (exit code %errorlevel%); run uninstall.cmd to remove the service
exit /b 5
:config_failed
>&2 echo install: error: could not write the service's settings to %SERVICEKEY% (exit code %errorlevel%); run uninstall.cmd to remove the service
exit /b 6
:take_over_failed
>&2 echo install: error: "sc config" could not point %SERVICE% at "%EXE%" (error %errorlevel%, in sc's words above); the service is unchanged. 1057: the account or password is not valid; 1072: the service is marked for deletion (close the Services console and any program that has it open, or reboot); 5: not an administrator prompt.
exit /b 8
:security_failed
>&2 echo install: error: the service's security could not be set through the service manager (rundll32 "%ACTIONS%" ended with %errorlevel%: 1 bad command line, 2 service not opened, 4 change refused); run uninstall.cmd to remove the service
exit /b 6
:sidtype_failed
>&2 echo install: error: "sc sidtype" failed (error %errorlevel%, in sc's words above); run uninstall.cmd to remove the service
exit /b 6


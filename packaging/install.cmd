@echo off
rem Registers this folder's MerivastService.exe as a Windows service (own
rem process, delayed automatic start), sets its recovery actions, service SID
rem type, preshutdown time, the services it depends on and who may send it
rem user-defined controls, registers its event-log source, and lets the
rem service change logs\ (and nothing else here). Run it as an administrator
rem from the install directory, i.e. the folder that holds MerivastService.exe,
rem from a 64-bit or a 32-bit prompt:
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
rem             depends on none and an existing one keeps its own. cmd splits
rem             arguments at ';' and ',': never separate them so.
rem   ACCOUNT   the account it runs under; without one, its own virtual
rem             account NT SERVICE\NAME. LocalSystem, or a name with a domain:
rem             "NT AUTHORITY\LocalService", .\merivast (with its PASSWORD),
rem             DOMAIN\user or user@domain.
rem Anything else on the command line is refused.
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
rem The settings sc cannot make, or makes differently on Windows and Wine, go
rem through MerivastInstallActions.dll (its entry Configure, by the rundll32
rem of its own architecture), which ends with 10 when they are set, or 11 when
rem a setting the service manager does not keep (Wine's keeps no recovery
rem actions, for one) went to the service's registry key, which it reads when
rem it starts. rundll32 ends with 0 when it could not run the entry at all.
rem Any failed step stops this script with words and a non-zero exit code.
rem MERIVAST_SC may name another program to run as sc (the tests use it to
rem play Windows' sc).
rem
rem Exit codes: 0 done, 1 MerivastService.exe or MerivastInstallActions.dll
rem not found, 2 "sc create" failed, 5 the event source could not be
rem registered, 6 the service's settings could not be set, 7 the service name
rem is not valid, 8 the existing service could not be pointed at this folder,
rem 9 the dependencies are not a list it takes, 10 an argument it does not
rem take, 11 the rights on logs\ could not be granted.
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
if "%ARG:~0,2%"=="x/" goto unknown_argument
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
set "ACCOUNT_GIVEN=%~1"
set "PASSWORD=%~2"
set "ARG=%~3"
if defined ARG goto stray_argument
call :check_name
if errorlevel 1 exit /b 7
if not defined DEPENDS_GIVEN goto dependencies_checked
rem An empty list is none, as '/' is.
if not defined DEPENDS set "DEPENDS=/"
call :check_dependencies
if errorlevel 1 exit /b 9
:dependencies_checked
if not defined ACCOUNT_GIVEN goto account_checked
if /i "%ACCOUNT_GIVEN%"=="LocalSystem" goto account_checked
if not "%ACCOUNT_GIVEN:\=%"=="%ACCOUNT_GIVEN%" goto account_checked
if not "%ACCOUNT_GIVEN:@=%"=="%ACCOUNT_GIVEN%" goto account_checked
goto bad_account
:account_checked
set "ACCOUNT=NT SERVICE\%SERVICE%"
if defined ACCOUNT_GIVEN set "ACCOUNT=%ACCOUNT_GIVEN%"
set "EXE=%HERE%MerivastService.exe"
set "ACTIONS=%HERE%MerivastInstallActions.dll"
rem MerivastInstallActions.dll's rundll32 must be of its architecture: on
rem 64-bit Windows the 32-bit one is in SysWOW64, and from a 32-bit prompt,
rem where System32 names SysWOW64, the 64-bit one is in Sysnative.
set "RUNDLL=%SystemRoot%\System32\rundll32.exe"
if "%PACKAGE_ARCH%"=="x86" if exist "%SystemRoot%\SysWOW64\rundll32.exe" set "RUNDLL=%SystemRoot%\SysWOW64\rundll32.exe"
if "%PACKAGE_ARCH%"=="x64" if exist "%SystemRoot%\Sysnative\rundll32.exe" set "RUNDLL=%SystemRoot%\Sysnative\rundll32.exe"
set "LOGS=%HERE%logs"
set "SERVICEKEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
set "EVENTKEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE%"

if not exist "%EXE%" goto no_exe
if not exist "%ACTIONS%" goto no_actions
"%SC%" query "%SERVICE%" >nul 2>&1
if not errorlevel 1 goto take_over

echo install: creating service %SERVICE% for "%EXE%", account %ACCOUNT%
if "%PASSWORD%"=="" goto create_without_password
"%SC%" create "%SERVICE%" binPath= "\"%EXE%\"" start= auto obj= "%ACCOUNT%" password= "%PASSWORD%"
goto created
:create_without_password
"%SC%" create "%SERVICE%" binPath= "\"%EXE%\"" start= auto obj= "%ACCOUNT%"
:created
if errorlevel 1 goto create_failed
call :configure
if errorlevel 1 exit /b 6
goto event_source

:take_over
rem An upgrade by copying: the service's settings stay; it runs this folder's
rem executable from its next start on. No blocks here: the folder's path may
rem hold parentheses.
echo install: service %SERVICE% exists; pointing it at "%EXE%"
if defined ACCOUNT_GIVEN goto take_over_with_account
echo install: keeping its account
"%SC%" config "%SERVICE%" binPath= "\"%EXE%\""
goto take_over_tried
:take_over_with_account
echo install: account %ACCOUNT%
if not "%PASSWORD%"=="" goto take_over_with_password
"%SC%" config "%SERVICE%" binPath= "\"%EXE%\"" obj= "%ACCOUNT%"
goto take_over_tried
:take_over_with_password
"%SC%" config "%SERVICE%" binPath= "\"%EXE%\"" obj= "%ACCOUNT%" password= "%PASSWORD%"
:take_over_tried
if errorlevel 2 goto take_over_failed
if not errorlevel 1 goto taken_over_by_sc
rem An sc that ends with 1 and says nothing has no "config" verb (Wine's);
rem Windows' sc ends with the Windows error. A password has no place in the
rem registry.
if not "%PASSWORD%"=="" goto take_over_failed
goto take_over_by_registry
:taken_over_by_sc
call :configure
if errorlevel 1 exit /b 6
goto taken_over
:take_over_by_registry
rem Store the path (and the account) where the service manager keeps them; it
rem reads them when it starts. The settings go first: their change makes such
rem a service manager write the entry it holds, the old path with it.
call :configure
if errorlevel 1 exit /b 6
>&2 echo install: warning: this sc has no "config" verb; writing ImagePath to %SERVICEKEY% instead
reg add "%SERVICEKEY%" /v ImagePath /t REG_EXPAND_SZ /d "\"%EXE%\"" /f >nul
if errorlevel 1 goto take_over_failed
if not defined ACCOUNT_GIVEN goto taken_over
reg add "%SERVICEKEY%" /v ObjectName /t REG_SZ /d "%ACCOUNT%" /f >nul
if errorlevel 1 goto take_over_failed
:taken_over
"%SC%" query "%SERVICE%" | "%SystemRoot%\System32\find.exe" "STOPPED" >nul
if errorlevel 1 >&2 echo install: warning: %SERVICE% is running from its old folder; it runs from this one after "sc stop %SERVICE%" and "sc start %SERVICE%"

:event_source
echo install: registering event source %SERVICE% for "%EXE%"
reg add "%EVENTKEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%EXE%" /f >nul
if errorlevel 1 goto eventsource_failed
reg add "%EVENTKEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto eventsource_failed

rem The service SID may modify logs\ and everything in it; the rest of this
rem folder keeps the rights it has. An icacls that takes the grant and shows
rem none (Wine's changes nothing) leaves the service running without it.
echo install: letting NT SERVICE\%SERVICE% modify "%LOGS%"
if not exist "%LOGS%" mkdir "%LOGS%"
icacls "%LOGS%" /grant "NT SERVICE\%SERVICE%:(OI)(CI)M" >nul
if errorlevel 1 goto logs_failed
icacls "%LOGS%" 2>nul | "%SystemRoot%\System32\find.exe" /i "NT SERVICE\%SERVICE%" >nul
if not errorlevel 1 goto logs_done
>&2 echo install: warning: icacls shows no grant for NT SERVICE\%SERVICE% on "%LOGS%"; unless the account may write there, grant it: icacls "%LOGS%" /grant "NT SERVICE\%SERVICE%:(OI)(CI)M"
:logs_done

echo install: done; %SERVICE% is installed for "%EXE%"
exit /b 0

rem configure: the recovery actions (restart after 10 s, 30 s, then every
rem 60 s; reset after a day; also for stops with a non-zero exit code, which
rem is how MerivastService reports a failed Java side), delayed automatic
rem start, the service SID under any account (so the grant on logs\ holds for
rem an account named above too), a preshutdown time of 30 s (the 25 s the
rem service gives its application to stop, plus 5 s), the dependencies named
rem with /depend:, and user-defined controls (thread and heap dumps, which
rem hold the application's secrets) for Administrators only, where Windows
rem lets every local authenticated user. The service manager applies them at
rem once. Fails, saying why, when they cannot be set.
:configure
echo install: setting recovery actions, delayed start, SID type, preshutdown time, dependencies and who may send user-defined controls
"%RUNDLL%" "%ACTIONS%",Configure %SERVICE% %DEPENDS%
set "OUTCOME=%errorlevel%"
if "%OUTCOME%"=="10" exit /b 0
if not "%OUTCOME%"=="11" goto configure_failed
>&2 echo install: warning: the service manager does not keep some of these settings (Wine's keeps no recovery actions and no service security); they were written to %SERVICEKEY%, which it reads when it starts
exit /b 0
:configure_failed
set "WHY=rundll32 ran no entry of it: is %RUNDLL% of the DLL's architecture (%PACKAGE_ARCH%)?"
if "%OUTCOME%"=="1" set "WHY=the command line was not taken"
if "%OUTCOME%"=="2" set "WHY=the service could not be opened: is this an administrator prompt?"
if "%OUTCOME%"=="4" set "WHY=the service manager refused a change"
>&2 echo install: error: the service's settings could not be set through "%ACTIONS%" (ended with %OUTCOME%: %WHY%); run uninstall.cmd to remove the service
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

:unknown_argument
>&2 echo install: error: "%~1" is not an option this script takes: /name:NAME and /depend:SERVICES come first, then the account and its password
exit /b 10
:stray_argument
>&2 echo install: error: "%~3" is one argument too many: after the options come at most the account and its password (cmd splits arguments at ';' and ','; separate the services of /depend: with '/')
exit /b 10
:bad_account
>&2 echo install: error: "%ACCOUNT_GIVEN%" is not an account this script takes: LocalSystem, or a name with its domain, such as .\%ACCOUNT_GIVEN%, "NT AUTHORITY\LocalService" or user@domain (cmd splits arguments at ';' and ','; separate the services of /depend: with '/')
exit /b 10
:no_exe
>&2 echo install: error: "%EXE%" not found; install.cmd must sit in the folder that holds MerivastService.exe
exit /b 1
:no_actions
>&2 echo install: error: "%ACTIONS%" not found; it comes with MerivastService.exe in the zip
exit /b 1
:create_failed
>&2 echo install: error: "sc create" failed (exit code %errorlevel%); is this an administrator prompt?
exit /b 2
:eventsource_failed
>&2 echo install: error: could not register the event source under %EVENTKEY% (exit code %errorlevel%); run uninstall.cmd to remove the service
exit /b 5
:take_over_failed
>&2 echo install: error: "sc config" could not point %SERVICE% at "%EXE%" (error %errorlevel%, in sc's words above); the service is unchanged. 1057: the account or password is not valid; 1072: the service is marked for deletion (close the Services console and any program that has it open, or reboot); 5: not an administrator prompt.
exit /b 8
:logs_failed
>&2 echo install: error: icacls could not grant NT SERVICE\%SERVICE% modify rights on "%LOGS%" (exit code %errorlevel%); run uninstall.cmd to remove the service
exit /b 11

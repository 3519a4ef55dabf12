@echo off
rem Runs the tests of uninst.exe on this Windows, from an elevated prompt, on a throwaway machine.
rem GoogleTest's XML results go to the results folder beside this file. See README.txt.
setlocal EnableExtensions DisableDelayedExpansion
set "kit=%~dp0"
set "self=%~f0"
set "name=%~nx0"
call :ClearTestSettings 2>nul
rem One run at a time: a second would save the first one's test entries as the user's. cmd.exe
rem opens a redirection's file without write sharing, and the system closes it when the run ends.
set "lock=%TEMP%\uninst-tests.lock"
set locked=
rem pushd, not cd /d: a folder on a network share cannot be the current directory, and pushd maps
rem a drive letter to it until popd.
pushd "%kit%"
call :Main 9>"%lock%"
set status=%errorlevel%
popd
rem Wine's cmd takes a redirection of handle 9 for stdout: what it wrote there is shown now.
rem On Windows the file stays empty.
if defined locked type "%lock%"
if not defined locked (
    echo Another run of these tests holds "%lock%" ^(or it cannot be written^). Let it end first.
    echo Nothing was changed.
    set status=2
)
call :PauseIfStartedAlone
exit /b %status%

rem Variables that would change which tests run, or what they test.
:ClearTestSettings
for %%p in (GTEST_ TESTBRIDGE_) do for /f "delims==" %%v in ('set %%p') do set "%%v="
set UNINST_EXE=
exit /b 0

rem Explorer (a double-click, or "Run as administrator") starts cmd.exe /c with this script's path
rem alone, and the window closes when it ends: pause there. A prompt, or "cmd /c call ...", does not.
:PauseIfStartedAlone
set "line=%cmdcmdline:"=%"
set "line=#%line:* /c =%"
call set "rest=%%line:#%self%=%%"
if not "%rest%"=="%line%" pause
exit /b 0

:Main
set locked=1
if not exist "%name%" (
    echo Cannot make "%kit%" the current directory. Nothing was changed.
    exit /b 2
)
set missing=
for %%f in (pe_tests.exe engine_tests.exe ui_tests.exe uninst.exe engine_host.exe ui_probe.dll planted.dll driver.exe) do (
    if not exist "%kit%%%f" call set "missing=%%missing%% %%f"
)
if defined missing (
    echo This folder lacks%missing%: unpack the whole zip, with all its files, into one folder and
    echo start run-tests.cmd there. Nothing was changed.
    exit /b 2
)
"%kit%pe_tests.exe" --check-folder
if errorlevel 1 (
    echo Nothing was changed.
    exit /b 2
)
"%kit%pe_tests.exe" --windows
set status=%errorlevel%
if "%status%"=="1" (
    echo.
    echo Not elevated: the tests write and delete entries under HKEY_LOCAL_MACHINE and files in the
    echo Windows folder. Open a command prompt with "Run as administrator" and start this again.
    echo Nothing was changed.
    exit /b 2
)
if not "%status%"=="0" (
    echo pe_tests.exe could not run here: exit code %status%. Nothing was changed.
    exit /b 2
)
set wow64=
if defined PROCESSOR_ARCHITEW6432 set wow64=1
if /i not "%PROCESSOR_ARCHITECTURE%"=="x86" set wow64=1

rem Entries a real installation of the add-on or its host may hold, and the user's AutoRun and
rem console defaults, which tests change: saved now, put back at the end.
set "key.host=HKCU\Software\Tovaslin"
set "view.host="
set "key.autorun=HKCU\Software\Microsoft\Command Processor"
set "view.autorun="
set "key.console=HKCU\Console"
set "view.console="
set "key.uninstall=HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Pellumine"
set "view.uninstall=/reg:32"
set "key.uninstall64=HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Pellumine"
set "view.uninstall64=/reg:64"
set entries=host autorun console uninstall
if defined wow64 set entries=host autorun console uninstall uninstall64
rem The tests stage on C:, in this folder. Whether C: makes short (8.3) names decides which of two
rem branches some cases take: the tests run with short names made, then the case that must do
rem without them runs again with none made. C:'s setting is saved and put back like the keys.
set "stage=C:\stage"
set shortNames=

rem A run that stopped before putting the entries back left the only record of them in results\.
set leftover=
if exist "results\saved-*.reg" set leftover=1
if exist "results\absent-*.txt" set leftover=1
if exist "results\short-names-C-was-*.txt" set leftover=1
if defined leftover (
    echo An earlier run stopped before it put back the entries and settings it had saved. Their only
    echo record is in "%kit%results". Put each back from this prompt, then start this again:
    for %%n in (host autorun console uninstall uninstall64) do call :HowToPutBack %%n
    call :HowToPutBackShortNames
    echo Nothing was changed.
    exit /b 2
)
if exist results rmdir /s /q results
if exist results (
    echo Could not empty "%kit%results": is a file there open? Close it and start this again.
    echo Nothing was changed.
    exit /b 2
)
mkdir results
if not exist results (
    echo Could not make "%kit%results". Nothing was changed.
    exit /b 2
)
rem A key that can be neither saved nor shown to be absent stops the run before any test.
set unsaved=
for %%n in (%entries%) do if not defined unsaved call :Save %%n
if not defined unsaved call :SaveShortNames
if defined unsaved (
    del "results\saved-*.reg" "results\absent-*.txt" "results\short-names-C-was-*.txt" >nul 2>&1
    echo Nothing was changed.
    exit /b 2
)

set /a passed=0, failed=0, skipped=0
set skippedNames=
set failedNames=
set stopped=
if defined shortNames call :SetShortNames on
for %%p in (pe_tests engine_tests ui_tests) do if not defined stopped call :Run %%p
if defined shortNames if not defined stopped call :WithoutShortNames
if not defined stopped call :Bench

for %%n in (%entries%) do call :Restore %%n
if defined shortNames call :RestoreShortNames

call :Summary
call :Summary >"results\summary.txt"
if %failed% gtr 0 exit /b 1
exit /b 0

:Summary
echo.
echo Results: "%kit%results"
if defined failedNames for %%t in (%failedNames%) do echo   failed:  %%t
if defined skippedNames echo Skipped tests say why in their program's .log and .xml:
if defined skippedNames for %%t in (%skippedNames%) do echo   skipped: %%t
if defined stopped echo Stopped by Ctrl+C: the tests after the one under way, and the programs after it, did not run.
echo %passed% passed, %failed% failed (%skipped% skipped, named above)
exit /b 0

rem :Run NAME runs NAME.exe, adds its counts to the totals; a program that ends without them, or
rem ran fewer tests than it has, has failed. Its summary from an earlier run must be gone first, or
rem a crash could count as that run's results. :Run NAME RUN runs the one test that GTEST_FILTER
rem names, into NAME-RUN.xml and .log.
:Run
set "out=%1"
if not "%2"=="" set "out=%1-%2"
echo Running %1.exe %2
del "results\%out%-summary.cmd" >nul 2>&1
if exist "results\%out%-summary.cmd" (
    echo Could not delete "%kit%results\%out%-summary.cmd"; %1.exe not run.
    call :Fail %out%.exe
    exit /b 0
)
"%kit%%1.exe" --gtest_output=xml:"%kit%results\%out%.xml" --kit-summary="%kit%results\%out%-summary.cmd" >"results\%out%.log" 2>&1
set status=%errorlevel%
if not exist "results\%out%-summary.cmd" (
    echo   %1.exe ended with exit code %status% before its tests were counted; see "%kit%results\%out%.log"
    call :Fail %out%.exe
    exit /b 0
)
set before=%failed%
set /a ran=0, has=0
call "results\%out%-summary.cmd"
if not "%2"=="" set /a has=1
if %ran% lss %has% (
    echo   %1.exe ran %ran% of its %has% tests; see "%kit%results\%out%.log"
    call :Fail %out%.exe[ran-%ran%-of-%has%]
)
if %has% equ 0 call :Fail %out%.exe[no-tests]
if not "%status%"=="0" if "%failed%"=="%before%" call :Fail %out%.exe
exit /b 0

:Fail
set /a failed+=1
set failedNames=%failedNames% %1
exit /b 0

rem :Save NAME and :Restore NAME: the key key.NAME in the view view.NAME as it was before the
rem tests: saved-NAME.reg, or absent-NAME.txt if it was not there. pe_tests.exe --key-state ends
rem with 1 only when Windows says the key is not there; anything else (access denied, say) says
rem nothing about the key, which would then be lost at :Restore, so :Save sets unsaved.
:Save
call set "key=%%key.%1%%"
call set "view=%%view.%1%%"
"%kit%pe_tests.exe" --key-state "%key%" %view% >"results\key-%1.log" 2>&1
set found=%errorlevel%
if "%found%"=="1" echo %key% %view% was not there before the tests.>"results\absent-%1.txt"
if "%found%"=="1" if exist "results\absent-%1.txt" exit /b 0
if "%found%"=="0" reg export "%key%" "results\saved-%1.reg" %view% /y >nul 2>&1
if "%found%"=="0" if not errorlevel 1 if exist "results\saved-%1.reg" exit /b 0
if "%found%"=="0" echo Could not save "%key%" %view%: reg export failed.
if not "%found%"=="0" echo pe_tests.exe --key-state "%key%" %view% ended with exit code %found%:
if not "%found%"=="0" type "results\key-%1.log"
set unsaved=%1
exit /b 0

rem Put back, and checked: the key gone, then as saved (its export the same, byte for byte), kept
rem as restored-NAME.reg. A key not put back counts as a failure; its record stays in results\.
:Restore
call set "key=%%key.%1%%"
call set "view=%%view.%1%%"
set "saved=results\saved-%1.reg"
reg delete "%key%" %view% /f >nul 2>&1
"%kit%pe_tests.exe" --key-state "%key%" %view% >nul 2>&1
if not "%errorlevel%"=="1" goto NotPutBack
if exist "results\absent-%1.txt" (
    del "results\absent-%1.txt"
    exit /b 0
)
reg import "%saved%" %view% >nul 2>&1
if errorlevel 1 goto NotPutBack
reg export "%key%" "results\restored-%1.reg" %view% /y >nul 2>&1
if errorlevel 1 goto NotPutBack
"%kit%pe_tests.exe" --same-bytes "%saved%" "results\restored-%1.reg" >nul
if errorlevel 1 goto NotPutBack
del "%saved%"
exit /b 0
:NotPutBack
echo Could not put back "%key%" %view%. To do it by hand:
call :HowToPutBack %1
call :Fail put-back-of-%1
exit /b 0

:HowToPutBack
call set "key=%%key.%1%%"
call set "view=%%view.%1%%"
if exist "results\absent-%1.txt" (
    echo   reg delete "%key%" %view% /f
    echo   del "%kit%results\absent-%1.txt"
)
if exist "results\saved-%1.reg" (
    echo   reg delete "%key%" %view% /f
    echo   reg import "%kit%results\saved-%1.reg" %view%
    echo   del "%kit%results\saved-%1.reg"
)
exit /b 0

rem :SaveShortNames: whether C: is set to make short names, as results\short-names-C-was-N.txt, N as
rem "fsutil 8dot3name set C: N" takes it (0 made, 1 not). pe_tests.exe --short-names ends with 0 or
rem 1 for that, 3 under Wine (which always makes them and has no such setting: nothing is changed
rem there), and 2 when it cannot read the setting, which stops the run as an unsaved key does.
:SaveShortNames
"%kit%pe_tests.exe" --short-names %stage% >"results\short-names-C.log" 2>&1
set found=%errorlevel%
type "results\short-names-C.log"
if "%found%"=="3" exit /b 0
if "%found%"=="0" copy /y "results\short-names-C.log" "results\short-names-C-was-0.txt" >nul
if "%found%"=="1" copy /y "results\short-names-C.log" "results\short-names-C-was-1.txt" >nul
if exist "results\short-names-C-was-%found%.txt" set shortNames=%found%
if defined shortNames exit /b 0
echo Could not save whether C: makes short names: pe_tests.exe --short-names ended with exit code %found%.
set unsaved=short-names
exit /b 0

rem :SetShortNames on|off sets C: to make short names or none, and checks a folder made there
rem (pe_tests.exe --short-names): a setting that does not take counts as failed.
:SetShortNames
"%kit%pe_tests.exe" --short-names %stage% %1 >"results\short-names-%1.log" 2>&1
if not errorlevel 1 exit /b 0
echo   Short names could not be turned %1 on C: for the tests:
type "results\short-names-%1.log"
call :Fail short-names-%1
exit /b 1

rem With short names made, a folder the ANSI code page cannot spell goes by its short name; without,
rem the uninstaller must warn and stay. Wine always makes them: this branch runs only here.
:WithoutShortNames
call :SetShortNames off
if errorlevel 1 exit /b 0
set GTEST_FILTER=Engine.FolderNamedOutsideTheCodePageNeverActsOnItsBestFitTwin
call :Run engine_tests without-short-names
set GTEST_FILTER=
exit /b 0

rem Put back and checked (pe_tests.exe reads the setting back: 2 if it is not as saved).
:RestoreShortNames
set state=on
if "%shortNames%"=="1" set state=off
"%kit%pe_tests.exe" --short-names %stage% %state% >"results\short-names-put-back.log" 2>&1
if errorlevel 2 (
    type "results\short-names-put-back.log"
    echo Could not put back whether C: makes short names. To do it by hand:
    call :HowToPutBackShortNames
    call :Fail put-back-of-short-names
    exit /b 0
)
del "results\short-names-C-was-%shortNames%.txt"
exit /b 0

:HowToPutBackShortNames
for %%s in (0 1) do if exist "results\short-names-C-was-%%s.txt" (
    echo   fsutil 8dot3name set C: %%s
    echo   del "%kit%results\short-names-C-was-%%s.txt"
)
exit /b 0

rem :Bench times the uninstaller as ./run bench does, before the keys are put back: it stages
rem installations with those keys. A missed time target is shown but not counted as a failure (a
rem shared or virtual machine promises no times); a round that fails, or files left, are.
:Bench
echo Running driver.exe bench: 5 rounds after a warm-up, into "%kit%results\bench.txt"
set "shipped=%kit%uninst.exe"
if exist "%kit%win32\uninst.exe" set "shipped=%kit%win32\uninst.exe"
"%kit%driver.exe" bench 5 "%kit%results\bench.json" "" "%shipped%" >"results\bench.txt" 2>"results\bench.log"
set status=%errorlevel%
type "results\bench.txt"
if "%status%"=="0" exit /b 0
if "%status%"=="3" echo   A time target was MISSED on this machine: shown above, not counted as a failure.
if "%status%"=="3" exit /b 0
echo   driver.exe bench ended with exit code %status%; see "%kit%results\bench.log"
call :Fail bench
exit /b 0

@echo off
rem Runs the tests of uninst.exe on this Windows, from an elevated prompt, on a throwaway machine.
rem GoogleTest's XML results go to the results folder beside this file. See README.txt.
setlocal EnableExtensions DisableDelayedExpansion
set "kit=%~dp0"
rem pushd, not cd /d: a folder on a network share cannot be the current directory, and pushd maps
rem a drive letter to it until popd.
pushd "%kit%"
if not exist "%~nx0" (
    echo Cannot make "%kit%" the current directory. Nothing was changed.
    exit /b 2
)
call :Main
set status=%errorlevel%
popd
exit /b %status%

:Main
pe_tests.exe --windows
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

rem Entries a real installation of the add-on or its host may hold, and the user's AutoRun, which
rem a test changes: saved now, put back at the end.
set "key.host=HKCU\Software\Tovaslin"
set "view.host="
set "key.autorun=HKCU\Software\Microsoft\Command Processor"
set "view.autorun="
set "key.uninstall=HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Pellumine"
set "view.uninstall=/reg:32"
set "key.uninstall64=HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Pellumine"
set "view.uninstall64=/reg:64"
set entries=host autorun uninstall
if defined wow64 set entries=host autorun uninstall uninstall64

rem A run that stopped before putting the entries back left their only copies in results\.
if exist "results\saved-*.reg" (
    echo An earlier run stopped before it put back the entries it had saved. Their only copies are
    echo in "%kit%results". Put each back from this prompt, then start this again:
    for %%n in (host autorun uninstall uninstall64) do if exist "results\saved-%%n.reg" call :HowToPutBack %%n
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
if defined unsaved (
    del "results\saved-*.reg" >nul 2>&1
    echo Nothing was changed.
    exit /b 2
)

set /a passed=0, failed=0, skipped=0
set skippedNames=
set failedNames=
for %%p in (pe_tests engine_tests ui_tests) do call :Run %%p
call :Bench

for %%n in (%entries%) do call :Restore %%n

echo.
echo Results: "%kit%results"
if defined failedNames for %%t in (%failedNames%) do echo   failed:  %%t
if defined skippedNames echo Skipped tests say why in their program's .log and .xml:
if defined skippedNames for %%t in (%skippedNames%) do echo   skipped: %%t
echo %passed% passed, %failed% failed (%skipped% skipped, named above)
if %failed% gtr 0 exit /b 1
exit /b 0

rem :Run NAME runs NAME.exe, adds its counts to the totals; a program that ends without them has failed.
rem Its summary from an earlier run must be gone first, or a crash could count as that run's results.
:Run
echo Running %1.exe
del "results\%1-summary.cmd" >nul 2>&1
if exist "results\%1-summary.cmd" (
    echo Could not delete "%kit%results\%1-summary.cmd"; %1.exe not run.
    set /a failed+=1
    set failedNames=%failedNames% %1.exe
    exit /b 0
)
"%kit%%1.exe" --gtest_output=xml:"%kit%results\%1.xml" --kit-summary="%kit%results\%1-summary.cmd" >"results\%1.log" 2>&1
set status=%errorlevel%
if not exist "results\%1-summary.cmd" (
    set /a failed+=1
    set failedNames=%failedNames% %1.exe
    echo   %1.exe ended with exit code %status% before its tests were counted; see "%kit%results\%1.log"
    exit /b 0
)
set before=%failed%
call "results\%1-summary.cmd"
if not "%status%"=="0" if "%failed%"=="%before%" (
    set /a failed+=1
    set failedNames=%failedNames% %1.exe
)
exit /b 0

rem :Save NAME and :Restore NAME: the key key.NAME in the view view.NAME as it was before the
rem tests, or none. pe_tests.exe --key-state ends with 1 only when Windows says the key is not
rem there; anything else (access denied, say) says nothing about the key, which would then be lost
rem at :Restore, so :Save sets unsaved.
:Save
call set "key=%%key.%1%%"
call set "view=%%view.%1%%"
pe_tests.exe --key-state "%key%" %view% >"results\key-%1.log" 2>&1
set found=%errorlevel%
if "%found%"=="1" exit /b 0
if "%found%"=="0" reg export "%key%" "results\saved-%1.reg" %view% /y >nul 2>&1
if "%found%"=="0" if not errorlevel 1 if exist "results\saved-%1.reg" exit /b 0
if "%found%"=="0" echo Could not save "%key%" %view%: reg export failed.
if not "%found%"=="0" echo pe_tests.exe --key-state "%key%" %view% ended with exit code %found%:
if not "%found%"=="0" type "results\key-%1.log"
set unsaved=%1
exit /b 0

rem A key not put back counts as a failure; its copy stays in results\ for "reg import". One put
rem back is kept as restored-NAME.reg.
:Restore
call set "key=%%key.%1%%"
call set "view=%%view.%1%%"
reg delete "%key%" %view% /f >nul 2>&1
if not exist "results\saved-%1.reg" exit /b 0
reg import "results\saved-%1.reg" %view% >nul 2>&1
if errorlevel 1 goto NotPutBack
ren "results\saved-%1.reg" "restored-%1.reg"
exit /b 0
:NotPutBack
echo Could not put back "%key%" %view%. To do it by hand:
call :HowToPutBack %1
set /a failed+=1
set failedNames=%failedNames% put-back-of-%1
exit /b 0

:HowToPutBack
call set "key=%%key.%1%%"
call set "view=%%view.%1%%"
echo   reg delete "%key%" %view% /f
echo   reg import "%kit%results\saved-%1.reg" %view%
echo   del "%kit%results\saved-%1.reg"
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
set /a failed+=1
set failedNames=%failedNames% bench
echo   driver.exe bench ended with exit code %status%; see "%kit%results\bench.log"
exit /b 0

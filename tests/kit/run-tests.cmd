@echo off
rem Runs the tests of uninst.exe on this Windows, from an elevated prompt, on a throwaway machine.
rem GoogleTest's XML results go to the results folder beside this file. See README.txt.
setlocal EnableExtensions DisableDelayedExpansion
cd /d "%~dp0"

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

if exist results rmdir /s /q results
mkdir results
rem Entries a real installation of the add-on or its host may hold: saved now, put back at the end.
rem A key that can be neither saved nor shown to be absent stops the run before any test.
call :Save host "HKCU\Software\Tovaslin"
if errorlevel 1 exit /b 2
call :Save uninstall "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Pellumine" /reg:32
if errorlevel 1 exit /b 2
if defined wow64 call :Save uninstall64 "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Pellumine" /reg:64
if errorlevel 1 exit /b 2

set /a passed=0, failed=0, skipped=0
set skippedNames=
set failedNames=
for %%p in (pe_tests engine_tests ui_tests) do call :Run %%p

call :Restore host "HKCU\Software\Tovaslin"
call :Restore uninstall "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Pellumine" /reg:32
if defined wow64 call :Restore uninstall64 "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Pellumine" /reg:64

echo.
echo Results: %~dp0results
if defined failedNames for %%t in (%failedNames%) do echo   failed:  %%t
if defined skippedNames echo Skipped tests say why in their program's .log and .xml:
if defined skippedNames for %%t in (%skippedNames%) do echo   skipped: %%t
echo %passed% passed, %failed% failed (%skipped% skipped, named above)
if %failed% gtr 0 exit /b 1
exit /b 0

rem :Run NAME runs NAME.exe, adds its counts to the totals; a program that ends without them has failed.
:Run
echo Running %1.exe
"%~dp0%1.exe" --gtest_output=xml:"%~dp0results\%1.xml" --kit-summary="%~dp0results\%1-summary.cmd" >"results\%1.log" 2>&1
set status=%errorlevel%
if not exist "results\%1-summary.cmd" (
    set /a failed+=1
    set failedNames=%failedNames% %1.exe
    echo   %1.exe ended with exit code %status% before its tests were counted; see results\%1.log
    exit /b 0
)
set before=%failed%
call "results\%1-summary.cmd"
if not "%status%"=="0" if "%failed%"=="%before%" (
    set /a failed+=1
    set failedNames=%failedNames% %1.exe
)
exit /b 0

rem :Save NAME KEY [VIEW] and :Restore NAME KEY [VIEW]: a key as it was before the tests, or none.
rem reg.exe ends with 1 when the key is not there; any other failure (reg.exe not started at all,
rem say) says nothing about the key, which would then be lost at :Restore, so :Save fails.
:Save
reg query %2 %3 >nul 2>&1
set found=%errorlevel%
if "%found%"=="1" exit /b 0
if "%found%"=="0" reg export %2 "results\saved-%1.reg" %3 /y >nul 2>&1
if "%found%"=="0" if not errorlevel 1 if exist "results\saved-%1.reg" exit /b 0
if "%found%"=="0" (echo Could not save %2 %3) else echo Could not read %2 %3 ^(reg.exe exit code %found%^)
echo Nothing was changed.
exit /b 1

rem A key not put back counts as a failure; its copy stays in results\ for "reg import".
:Restore
reg delete %2 %3 /f >nul 2>&1
if not exist "results\saved-%1.reg" exit /b 0
reg import "results\saved-%1.reg" %3 >nul 2>&1
if not errorlevel 1 exit /b 0
echo Could not put back %2 %3: reg import results\saved-%1.reg %3
set /a failed+=1
set failedNames=%failedNames% put-back-of-%1
exit /b 0

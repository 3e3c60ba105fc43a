@echo off
rem Example build script: times the compile and link of hello.exe with buildtimer.
rem Set CC to your compiler (default: gcc). buildtimer.exe must be on the PATH or here.
setlocal
if "%CC%"=="" set CC=gcc

rem buildtimer measures from the tick count in Morvit.tmp: remove it to time this build.
if exist Morvit.tmp del Morvit.tmp
buildtimer

%CC% -Os -s -o hello.exe hello.c
if errorlevel 1 goto failed

rem The second run prints the time and the entry lines of this listing.
dir hello.exe > MvtDir.tmp
buildtimer
del MvtDir.tmp
goto :eof

:failed
echo Build failed.
exit /b 1

@echo off
rem Control script of the sample installation.
rem   revaduzeza.bat              run the server; return when it has stopped
rem   revaduzeza.bat stopServers  tell the server to stop, without waiting
rem The server lies beside this script; its log goes to logs\ in the installation.
if "%~1"=="" goto run
if "%~1"=="stopServers" goto stop
echo revaduzeza: unknown argument %1 1>&2
exit /b 64

:run
if not exist "%~dp0..\logs" mkdir "%~dp0..\logs"
"%~dp0sample_server.exe" run "%~dp0..\logs\sample_server.log"
exit /b %errorlevel%

:stop
"%~dp0sample_server.exe" stop
exit /b %errorlevel%

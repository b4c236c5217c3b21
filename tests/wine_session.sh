#!/bin/sh
# One Wine session for the whole Windows suite, in the private prefix named
# by WINEPREFIX.
#   start PIDFILE: starts a wineserver that stays (-p) before anything else
#     runs, so that every program of the suite joins it instead of starting
#     a session of its own (a server, then wineboot and Wine's services: a
#     second or two each); makes the prefix; notes the server's pid.
#   stop PIDFILE: fails unless that same server is still there, then ends it.
set -u
mode=$1 pidfile=$2

# The server works in its directory server-DEV-INODE, named after the
# prefix, under a wine-XXXXXX directory of TMPDIR or /tmp.
server_pid() {
    dir=$(printf 'server-%x-%x' $(stat -L -c '%d %i' "$WINEPREFIX"))
    for p in /proc/[0-9]*; do
        case $(readlink "$p/cwd" 2>/dev/null) in
        */"$dir") grep -q wineserver "$p/cmdline" 2>/dev/null && echo "${p#/proc/}" && return ;;
        esac
    done
}

case $mode in
start)
    mkdir -p "$WINEPREFIX"
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    # The server puts itself in the background once it is ready.
    wineserver -p </dev/null >/dev/null 2>&1 || exit 1
    pid=$(server_pid)
    [ -n "$pid" ] || { echo "no wineserver for $WINEPREFIX" >&2; exit 1; }
    wineboot -i </dev/null >/dev/null 2>&1
    if [ "$(server_pid)" != "$pid" ]; then
        echo "the wineserver $pid did not outlive wineboot" >&2
        exit 1
    fi
    echo "$pid" >"$pidfile"
    echo "wineserver $pid for $WINEPREFIX"
    ;;
stop)
    pid=$(cat "$pidfile" 2>/dev/null)
    now=$(server_pid)
    wineserver -k >/dev/null 2>&1
    rm -f "$pidfile"
    if [ -z "$pid" ] || [ "$now" != "$pid" ]; then
        echo "the suite's wineserver ${pid:-?} did not last to the end (now: ${now:-none})" >&2
        exit 1
    fi
    echo "wineserver $pid served the whole suite"
    ;;
*)
    echo "usage: wine_session.sh start|stop PIDFILE" >&2
    exit 2
    ;;
esac

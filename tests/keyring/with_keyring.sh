#!/bin/sh
# Runs a command in a private D-Bus session with a GNOME keyring of its own, unlocked, in a fresh
# home directory: no test ever sees the user's keyring. Exit status 77 (skipped) when the tools
# are missing.
set -eu
for tool in dbus-run-session gnome-keyring-daemon; do
    command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool is missing"; exit 77; }
done
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config"
unset XDG_RUNTIME_DIR
dbus-run-session -- sh -c '
    printf keyring-password | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1
    "$@"' sh "$@"

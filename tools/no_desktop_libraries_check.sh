#!/usr/bin/env bash
# Fails when one of the given programs loads GTK, GDK, X11 or WebKit, directly
# or through another library: the command-line programs must start on a
# server without a desktop.
set -euo pipefail
status=0
for program in "$@"; do
  if found=$(ldd "$program" | grep -E 'lib(gtk|gdk|X11|xcb|webkit|javascriptcore)'); then
    echo "$program loads desktop libraries:"
    echo "$found"
    status=1
  fi
done
exit $status

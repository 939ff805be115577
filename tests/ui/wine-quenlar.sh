#!/bin/sh
# quenlar.exe under Wine, for the document tests that start "quenlar".
exec "$QUENLAR_WINE" "$QUENLAR_WINDOWS_EXE" "$@"

#!/bin/sh
# Ends the wine server that wine_start.sh left running, with Wine's services.
wineserver -k </dev/null >/dev/null 2>&1 || true

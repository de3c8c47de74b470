#!/usr/bin/env bash
# Fails when a source includes a header from a layer above its own. From the top: app/ and
# slave/, stack/al/, stack/dl/, stack/drivers/, and stack/trace/ beneath them all.
cd "$(dirname "$0")/.." || exit 2
rank() { case $1 in app/* | slave/*) echo 4 ;; stack/al/*) echo 3 ;; stack/dl/*) echo 2 ;;
    stack/drivers/*) echo 1 ;; *) echo 0 ;; esac; }
up=$(find app slave stack -name '*.cpp' -o -name '*.h' | while read -r f; do
    sed -n 's/^#include "\(.*\)"/\1/p' "$f" | while read -r h; do
        [ "$(rank "$h")" -le "$(rank "$f")" ] || echo "$f includes $h"; done; done)
[ -z "$up" ] || { printf 'includes pointing up:\n%s\n' "$up"; exit 1; }

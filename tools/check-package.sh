#!/usr/bin/env bash
# Builds the Debian package from a build directory (default build), installs it, and checks that
# both programs run from the system path and that both manual pages render. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
# The pages are linted first: mandoc's warnings, and every indented block (.RS) closed before the
# next opens or the page ends, which no formatter reports but which indents the rest too deep.
mandoc -T lint -W warning man/*.1
for page in man/*.1; do
    awk -v page="$page" '/^\.RS/ { if (open) bad = NR; open = 1 } /^\.RE/ { open = 0 }
        END { if (open || bad) { print page ": .RS left open at line " (bad ? bad : NR); exit 1 } }' \
        "$page"
done
(cd "$dir" && cpack >/dev/null 2>&1)
package=$(ls "$dir"/korvalen_*.deb)
dpkg -i "$package" >/dev/null
# korvalen always exits with 10.
grep -q "Generates and sends Modbus request" <<<"$(korvalen -? || true)"
grep -q "Serves a Modbus slave from memory" <<<"$(korvalen-slave -?)"
pages=/usr/share/man/man1
if [ ! -f "$pages/korvalen.1" ] && [ ! -f "$pages/korvalen.1.gz" ]; then
    # Minimal images tell dpkg to leave manual pages out (path-exclude in /etc/dpkg/dpkg.cfg.d);
    # render them from the package itself then.
    pages=$(mktemp -d)/usr/share/man/man1
    dpkg-deb -x "$package" "${pages%/usr/share/man/man1}"
fi
for page in korvalen korvalen-slave; do
    if [ "$pages" = /usr/share/man/man1 ]; then
        text=$(MANPAGER=cat MANWIDTH=80 man "$page")
    else
        text=$(MANPAGER=cat MANWIDTH=80 man -l "$pages/$page.1")
    fi
    grep -q "^NAME" <<<"$text"
    grep -q "^EXIT STATUS" <<<"$text"
    echo "$text" | sed -n '1,6p'
done
echo "package $(basename "$package"): installed, both programs run, both manual pages render"

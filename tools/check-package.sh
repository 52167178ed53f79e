#!/usr/bin/env bash
# Checks the .deb `make package` builds as a user's machine would meet it: its contents list
# the programs, the manual pages, the completions, the desktop files and the metainfo; its
# dependencies come from dpkg-shlibdeps (Qt, libstdc++) and no library is bundled; installed
# into a scratch root with dpkg -x, tresmo-cli runs from there and its manual page renders.
#   tools/check-package.sh DEB
set -euo pipefail
deb=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failed=0
fail() { echo "check-package: $*" >&2; failed=1; }

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|')
for f in /usr/bin/tresmo /usr/bin/tresmo-cli /usr/share/man/man1/tresmo.1 \
    /usr/share/man/man1/tresmo-cli.1 /usr/share/man/man1/tresmo-cli-save.1 \
    /usr/share/bash-completion/completions/tresmo-cli /usr/share/zsh/vendor-completions/_tresmo-cli \
    /usr/share/fish/vendor_completions.d/tresmo-cli.fish /usr/share/applications/tresmo.desktop \
    /usr/share/mime/packages/tresmo.xml /usr/share/icons/hicolor/scalable/apps/tresmo.svg \
    /usr/share/metainfo/net.norvik.tresmo.metainfo.xml; do
    grep -qxF "$f" <<<"$contents" || fail "$deb does not hold $f"
done
! grep -E '\.so(\.[0-9]+)*$' <<<"$contents" || fail "$deb bundles a library"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libqt6widgets6 libqt6svg6; do
    grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

dpkg -x "$deb" "$root"
version=$(dpkg-deb -f "$deb" Version)
[ "$("$root/usr/bin/tresmo-cli" --version)" = "tresmo-cli $version" ] ||
    fail "tresmo-cli --version from the package does not print $version"
for page in tresmo-cli tresmo-cli-save tresmo; do
    out=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1" 2>"$root/err") ||
        fail "man -l $page.1 failed"
    [ ! -s "$root/err" ] || fail "$page.1: $(cat "$root/err")"
    grep -q "^NAME" <<<"$out" || fail "$page.1 has no NAME section"
done
[ "$failed" = 0 ] && echo "$deb: contents, dependencies ($depends) and programs checked"
exit "$failed"

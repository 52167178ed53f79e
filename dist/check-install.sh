#!/usr/bin/env bash
# Installs a build into a scratch prefix with `cmake --install` and checks what a user and the
# desktop get: both programs, a manual page for tresmo-cli and for each of its commands (the
# commands as the installed program lists them), one for tresmo, the completions, the desktop
# entry, the MIME type, the icons and the AppStream metainfo. Every page renders with no
# warning; the metainfo passes appstreamcli.
#   check-install.sh BUILD_DIR
set -euo pipefail
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cmake --install "$1" --prefix "$root" >/dev/null
cd "$root"
share=share
failed=0
fail() { echo "install: $*" >&2; failed=1; }

cli=bin/tresmo-cli
"$cli" --version | grep -q '^tresmo-cli [0-9]' || fail "bin/tresmo-cli --version prints no version"
pages=(tresmo tresmo-cli)
for c in $("$cli" help | awk '/^Subcommands:$/ { on = 1; next } on && /^$/ { exit }
                            on && /^  [^ ]/ { print $1 }'); do
    [ "$c" = help ] || pages+=("tresmo-cli-$c")
done
for f in bin/tresmo "${pages[@]/#/$share/man/man1/}" \
    $share/bash-completion/completions/tresmo-cli $share/zsh/vendor-completions/_tresmo-cli \
    $share/fish/vendor_completions.d/tresmo-cli.fish $share/applications/tresmo.desktop \
    $share/mime/packages/tresmo.xml $share/icons/hicolor/scalable/apps/tresmo.svg \
    $share/icons/hicolor/scalable/mimetypes/application-x-tresmo.svg \
    $share/metainfo/net.norvik.tresmo.metainfo.xml; do
    case $f in */man1/*) f+=.1 ;; esac
    [ -s "$f" ] || fail "$f is not installed"
done
for page in $share/man/man1/*.1; do
    err=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "$page does not render"
    [ -z "$err" ] || fail "$page: $err"
done
# A command's page carries its own options, read from its help.
MANWIDTH=80 man -l $share/man/man1/tresmo-cli-save.1 2>/dev/null | grep -q -- '--dry-run' ||
    fail "tresmo-cli-save(1) does not describe --dry-run"
appstreamcli validate --no-net $share/metainfo/net.norvik.tresmo.metainfo.xml >/dev/null ||
    fail "the metainfo does not validate: $(appstreamcli validate --no-net \
          $share/metainfo/net.norvik.tresmo.metainfo.xml)"
desktop-file-validate $share/applications/tresmo.desktop || fail "tresmo.desktop does not validate"
[ "$failed" = 0 ] && echo "installed: ${#pages[@]} manual pages, completions, desktop files, metainfo"
exit "$failed"

#!/usr/bin/env bash
# Checks the desktop integration files as the desktop reads them: the .desktop entry with
# desktop-file-validate, the MIME type and every icon as well-formed XML, and the MIME type
# against the shared-mime-info schema when the system has it.
#   check-desktop.sh SOURCE_DIR
set -euo pipefail
src="$1"
desktop-file-validate "$src/desktop/tresmo.desktop"
schema=/usr/share/shared-mime-info/shared-mime-info.rng
if [ -f "$schema" ]; then
  xmllint --noout --relaxng "$schema" "$src/desktop/tresmo-mime.xml"
else
  xmllint --noout "$src/desktop/tresmo-mime.xml"
fi
grep -q 'value="\$\$\*\*2020"' "$src/desktop/tresmo-mime.xml"
for icon in "$src"/icons/*.svg; do
  xmllint --noout "$icon"
done
xmllint --html --noout "$src/desktop/help.html"
echo "desktop files valid"

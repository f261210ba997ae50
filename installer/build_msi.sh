#!/usr/bin/env bash
# Builds the product's MSI from printgate.wxs with wixl, then sets in its
# tables what wixl 0.101 can't express. Run by the Windows build; the bench
# runs it again to make an older version for the upgrade test.
#   build_msi.sh OUTPUT.msi VERSION PRINTGATE_EXE PRINTERWATCH_EXE
source "$(dirname "$0")/../scripts/prologue.sh"
out=$1 version=$2 printgate=$3 printerwatch=$4
here=$(cd "$(dirname "$0")" && pwd)
out=$(realpath -m "$out")
tmp="$out.tmp"
stage="$out.files"
rm -rf "$tmp" "$stage"
# wixl finds sources only by paths relative to where it runs.
mkdir -p "$stage"
cp "$printgate" "$stage/printgate.exe"
cp "$printerwatch" "$stage/printerwatch.exe"
(cd "$stage" && wixl -a x64 -D Version="$version" -D PrintgateExe=printgate.exe \
   -D PrinterwatchExe=printerwatch.exe -o "$tmp" "$here/printgate.wxs" 2>&1) |
  { grep -v 'unimplemented' || true; }
rm -rf "$stage"
# The settings must reach the installation's server side when the install is
# elevated from a user's session; wixl lists only its own upgrade properties.
# The service is vital: an install that can't create it fails and rolls back
# rather than reporting success without it (wixl drops ServiceInstall/@Vital).
# The allowlist is written only when an administrator gives one: an empty
# value would refuse every page, and wixl has no Component/Condition.
msibuild "$tmp" \
  -q "UPDATE Property SET Value='WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;$(grep -o 'Setting: [A-Z]*' "$here/printgate.wxs" | cut -d' ' -f2 | paste -sd';')' WHERE Property='SecureCustomProperties'" \
  -q "UPDATE ServiceInstall SET ErrorControl=32769 WHERE ServiceInstall='PrinterwatchService'" \
  -q "UPDATE Component SET Condition='ALLOWEDORIGINS' WHERE Component='AllowedOrigins'"
mv "$tmp" "$out"

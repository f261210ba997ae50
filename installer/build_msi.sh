#!/usr/bin/env bash
# Builds the product's MSI from printgate.wxs with wixl, then sets in its
# tables what wixl 0.101 can't express. Run by the Windows build; the bench
# runs it again to make an older version for the upgrade test.
#   build_msi.sh OUTPUT.msi VERSION PRINTGATE_EXE PRINTERWATCH_EXE BROWSER_POLICIES_EXE
source "$(dirname "$0")/../scripts/prologue.sh"
out=$1 version=$2 printgate=$3 printerwatch=$4 policies=$5
here=$(cd "$(dirname "$0")" && pwd)
out=$(realpath -m "$out")
tmp="$out.tmp"
stage="$out.files"
rm -rf "$tmp" "$stage"
# wixl finds sources only by paths relative to where it runs.
mkdir -p "$stage"
cp "$printgate" "$stage/printgate.exe"
cp "$printerwatch" "$stage/printerwatch.exe"
cp "$policies" "$stage/printgate-browser-policies.exe"
(cd "$stage" && wixl -a x64 -D Version="$version" -D PrintgateExe=printgate.exe \
   -D PrinterwatchExe=printerwatch.exe -D BrowserPoliciesExe=printgate-browser-policies.exe \
   -o "$tmp" "$here/printgate.wxs" 2>&1) |
  { grep -v 'unimplemented' || true; }
rm -rf "$stage"
# The settings must reach the installation's server side when the install is
# elevated from a user's session; wixl lists only its own upgrade properties.
# The service is vital: an install that can't create it fails and rolls back
# rather than reporting success without it (wixl drops ServiceInstall/@Vital).
# The allowlist is written only when an administrator gives one: an empty
# value would refuse every page, and wixl has no Component/Condition; so is
# the Trace value. The event source's key goes whole on uninstall (the
# Registry row named "-"): Windows may have added values of its own. Its
# message file is REG_EXPAND_SZ, as the event log expects ("#%" in the
# table; wixl writes "expandable" values as plain strings).
# The browser policy actions run the program in the Binary table (type 2),
# in the script (0x400), as the installer rather than the user (0x800);
# the removal's result is ignored (0x40), and the undo runs only on
# rollback (0x100): wixl can express neither the source nor the rollback.
msibuild "$tmp" \
  -q "UPDATE Property SET Value='WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;$(grep -o 'Setting: [A-Z]*' "$here/printgate.wxs" | cut -d' ' -f2 | paste -sd';')' WHERE Property='SecureCustomProperties'" \
  -q "UPDATE ServiceInstall SET ErrorControl=32769 WHERE ServiceInstall='PrinterwatchService'" \
  -q "UPDATE Component SET Condition='ALLOWEDORIGINS' WHERE Component='AllowedOrigins'" \
  -q "UPDATE Component SET Condition='TRACE=1' WHERE Component='TraceSetting'" \
  -q "UPDATE \`Registry\` SET \`Value\`='#%[#PrinterwatchExe]' WHERE \`Name\`='EventMessageFile'" \
  -q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('EventSourceKey', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\USB Printer Service VELQ', '-', 'EventSource')" \
  -q "UPDATE CustomAction SET Type=3074, Source='BrowserPoliciesExe' WHERE Action='WriteBrowserPolicies'" \
  -q "UPDATE CustomAction SET Type=3138, Source='BrowserPoliciesExe' WHERE Action='RemoveBrowserPolicies'" \
  -q "UPDATE CustomAction SET Type=3394, Source='BrowserPoliciesExe' WHERE Action='UndoBrowserPolicies'"
mv "$tmp" "$out"

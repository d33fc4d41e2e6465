#!/bin/sh
# Usage: msi.sh STAGED ACTIONS_DLL VERSION EPOCH OUT.msi [yes]
# Builds the Windows Installer package from packaging/vizad.wxs with wixl:
# STAGED holds the release's files as the zip lays them out, ACTIONS_DLL is
# vizad-msi.dll, EPOCH the release date. A sixth argument "yes" adds the
# tests' forced failure. Two runs on the same input give the same bytes:
#   - every file goes into the cabinet dated EPOCH;
#   - wixl 0.101 takes the summary's times from the clock and ignores
#     SOURCE_DATE_EPOCH, so it runs under faketime, frozen at EPOCH;
#   - its package code is random: it is set to a zero code, then to one
#     made from the SHA-256 of the package so made, so that it changes
#     whenever the content does and only then;
#   - the product code is made from the version: one per version.
# What wixl 0.101 cannot say in the .wxs is set afterwards with msibuild
# (component conditions and attributes, the removal of the example's log,
# the upgrade's place and a second Upgrade row, rollback actions).
set -eu
staged=$1
actions=$2
version=$3
epoch=$4
out=$5
forced=${6:-no}
here=$(cd "$(dirname "$0")" && pwd)

# A GUID in the registry's form from the SHA-256 of standard input.
guid() {
    sha256sum | cut -c1-32 | tr a-f A-F |
        sed 's/^\(.\{8\}\)\(.\{4\}\)\(.\{4\}\)\(.\{4\}\)/\1-\2-\3-\4-/'
}
at_epoch() {
    TZ=UTC faketime -f "$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')" "$@"
}

work=$out.d
rm -rf "$work" "$out"
# The staged programs go with the work folder, whatever ends the run.
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
cp -R "$staged/." "$work/"
cp "$actions" "$work/vizad-msi.dll"
find "$work" -exec touch -h -d "@$epoch" {} +

product=$(printf 'VIZAD %s' "$version" | guid)
(cd "$work" && at_epoch wixl -a x86 -D Version="$version" -D ProductCode="$product" \
    -D ForcedFailure="$forced" -o "$out" "$here/vizad.wxs")

# Root: the root given on the command line (or kept from an earlier
# install). ExampleRoot: the example's folder, when none is given.
# Both transitive (64, beside the registry key path's 4): a re-run weighs
# their conditions again, so that a root given then replaces the example's.
# RemoveExistingProducts right after InstallInitialize: the older product
# goes first, within the run, so that Windows Installer puts it back when
# the newer one fails; then the newer one is installed.
# wixl 0.101 writes a rollback action as an immediate one: 3393 is a DLL
# (1), its return ignored (64), rollback (256) in the script (1024), as
# LocalSystem (2048).
# VIZADRELEASED names an installed 1.2 or 1.3, whose removal deletes the
# service: only then are its settings carried (vizad.wxs); VIZADRELEASED12
# an installed 1.2, which set no preshutdown timeout: the package's is set.
# The upgrade's mark is cleared at rollback (UndoUpgradeMark) and when the
# run fails before its script runs (-3: the failure's sequence).
# The example's folder, its logs and its script have the root's rights:
# administrators and SYSTEM only, inherited by what is made below, never
# Users' read from Program Files (a reader may hold what it reads open).
at_epoch msibuild "$out" -q "UPDATE Component SET Condition = 'ZOVOVEV', Attributes = 68 WHERE Component = 'Root'"
at_epoch msibuild "$out" -q "UPDATE Component SET Condition = 'NOT ZOVOVEV', Attributes = 68 WHERE Component = 'ExampleRoot'"
at_epoch msibuild "$out" -q "INSERT INTO RemoveFile (FileKey, Component_, FileName, DirProperty, InstallMode) VALUES ('Logs', 'ExampleLogs', 'sample_server.log', 'ExampleLogs', 2)"
at_epoch msibuild "$out" -q "UPDATE InstallExecuteSequence SET Sequence = 1510 WHERE Action = 'RemoveExistingProducts'"
at_epoch msibuild "$out" -q "UPDATE CustomAction SET Type = 3393 WHERE Action = 'StopStartedService' OR Action = 'StartAgainAfterFailure' OR Action = 'DeleteNewService' OR Action = 'UndoUpgradeMark'"
at_epoch msibuild "$out" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('ClearUpgradeMarkAtFailure', 'WIX_UPGRADE_DETECTED AND NOT REMOVE~=\"ALL\"', -3)"
at_epoch msibuild "$out" -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) VALUES ('{309C3EDA-281C-4A2B-9A92-5F8DC45161A8}', '1.2.0', '1.4.0', 258, 'VIZADRELEASED')"
at_epoch msibuild "$out" -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) VALUES ('{309C3EDA-281C-4A2B-9A92-5F8DC45161A8}', '1.2.0', '1.3.0', 258, 'VIZADRELEASED12')"
at_epoch msibuild "$out" -q "UPDATE Property SET Value = 'VIZADRELEASED;VIZADRELEASED12;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE Property = 'SecureCustomProperties'"
at_epoch msibuild "$out" -q "CREATE TABLE \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\` CHAR(72) NOT NULL, \`LockObject\` CHAR(72) NOT NULL, \`Table\` CHAR(32) NOT NULL, \`SDDL\` LONGCHAR NOT NULL, \`Condition\` CHAR(255) PRIMARY KEY \`MsiLockPermissionsEx\`)"
for row in ExampleFolder:CreateFolder:OICI ExampleLogs:CreateFolder:OICI revaduzeza.bat:File:; do
    object=${row%%:*} rest=${row#*:}
    at_epoch msibuild "$out" -q "INSERT INTO \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDL\`) VALUES ('Lock$object', '$object', '${rest%:*}', 'D:PAI(A;${rest#*:};FA;;;SY)(A;${rest#*:};FA;;;BA)')"
done

summary() { at_epoch msibuild "$out" -s "VIZAD $version" VIZAD "Intel;1033" "{$1}"; }
summary 00000000-0000-0000-0000-000000000000
summary "$(guid <"$out")"

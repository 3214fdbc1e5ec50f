#!/bin/sh
# Installs the Debian package on this machine, checks what it set up, installs
# it again over itself (the upgrade path), removes it, purges it and checks
# that none of its files remain. Run as root, on a machine that may lose
# /var/lib/corvane: CI's throwaway one.
#
#   packaging/deb/check-package.sh corvane_0.1.0_amd64.deb
set -eu

deb=$1
state=/var/lib/corvane
unit=corvane.service
wants=/etc/systemd/system/multi-user.target.wants/$unit

fail() {
    echo "check-package: $*" >&2
    exit 1
}
step() {
    echo "check-package: $*"
}

if [ "$(id -u)" -ne 0 ]; then
    fail "run as root: it installs and purges the package"
fi
if dpkg-query -W -f='${Status}' corvane 2>/dev/null | grep -q "installed"; then
    fail "corvane is installed already; this check would purge it and its $state"
fi
"$(dirname "$0")/../../scripts/install-deps.sh" systemd   # systemd-analyze

# A failed check must not leave a running service behind (UDP 1095 taken).
trap 'dpkg --purge corvane >/dev/null 2>&1 || true' EXIT

step "dpkg -i $deb"
dpkg -i "$deb"
files=$(dpkg -L corvane)

step "the programs, the user, the state folder, the unit"
[ "$(command -v corvane)" = /usr/bin/corvane ] || fail "corvane is not /usr/bin/corvane on the PATH"
[ "$(command -v corvane-send)" = /usr/bin/corvane-send ] || fail "corvane-send is not on the PATH"
corvane --version
corvane-send --help >/dev/null
getent passwd corvane >/dev/null || fail "no user corvane"
[ "$(stat -c '%U:%G %a' "$state")" = "corvane:corvane 750" ] \
    || fail "$state is $(stat -c '%U:%G %a' "$state"), not corvane:corvane 750"
[ ! -e "$state/Corvane.ini" ] || fail "the package created $state/Corvane.ini"
unit_file=$(dpkg -L corvane | grep "/systemd/system/$unit\$") || fail "the package has no $unit"
systemd-analyze verify "$unit_file"
[ -L "$wants" ] || fail "$unit is not enabled"
if [ -d /run/systemd/system ]; then
    # Unconfigured, it runs and says what it waits for.
    systemctl is-active --quiet corvane || fail "corvane is not running"
    systemctl show -p StatusText --value corvane | grep -q "no SMTP server set" \
        || fail "systemctl status does not say that no SMTP server is set"
else
    step "systemd is not running here: enabled, not started"
fi

step "installed again over itself: the settings file stays as it was"
printf '[Email_Settings]\r\nSMPT_Server=mail.example.com:587\r\n' > "$state/Corvane.ini"
chown corvane:corvane "$state/Corvane.ini"
chmod 0600 "$state/Corvane.ini"
before=$(stat -c '%U:%G %a %s %Y' "$state/Corvane.ini")
dpkg -i "$deb"
[ "$(stat -c '%U:%G %a %s %Y' "$state/Corvane.ini")" = "$before" ] || fail "the upgrade changed Corvane.ini"
[ -L "$wants" ] || fail "$unit is not enabled after the upgrade"

step "dpkg -r: the program goes, $state stays"
dpkg -r corvane
[ ! -e /usr/bin/corvane ] || fail "/usr/bin/corvane is still there after dpkg -r"
[ -f "$state/Corvane.ini" ] || fail "dpkg -r removed $state/Corvane.ini"
if [ -d /run/systemd/system ] && systemctl is-active --quiet corvane; then
    fail "corvane still runs after dpkg -r"
fi

step "dpkg --purge: nothing of it remains"
dpkg --purge corvane
trap - EXIT
for path in $files; do
    # Shared folders such as /usr/bin stay; every other path must be gone.
    case "$path" in
        */corvane*) [ ! -e "$path" ] || fail "$path is still there" ;;
        *) [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is still there" ;;
    esac
done
for path in "$state" "$wants" "/etc/systemd/system/$unit" \
            /var/lib/systemd/deb-systemd-helper-enabled/$unit.dsh-also \
            /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/$unit \
            /var/lib/systemd/deb-systemd-helper-masked/$unit; do
    if [ -e "$path" ] || [ -L "$path" ]; then
        fail "$path is still there after the purge"
    fi
done
if dpkg-query -W -f='${Status}' corvane 2>/dev/null | grep -q "installed\|config-files"; then
    fail "dpkg still knows corvane"
fi
step "passed"
